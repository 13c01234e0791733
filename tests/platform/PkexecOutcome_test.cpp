#include "linux/PkexecOutcome.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

namespace {

int exited(int status)
{
    return status << 8;
}

using platform::RightsRefusal;

TEST(PkexecOutcome, EveryEndIsToldApart)
{
    const struct {
        const char* name;
        int waitStatus;
        const char* message;
        RightsRefusal expected;
    } cases[] = {
        {"dismissed", exited(126), "Error executing command as another user: Request dismissed\n", RightsRefusal::Cancelled},
        {"not authorised", exited(127),
         "Error executing command as another user: Not authorized\n\nThis incident has been reported.\n",
         RightsRefusal::NotAuthorized},
        {"no agent", exited(127), "Error executing command as another user: No authentication agent found.\n",
         RightsRefusal::NoPrompt},
        {"no polkit daemon", exited(127),
         "Error checking for authorization org.freedesktop.policykit.exec: GDBus.Error:org.freedesktop.DBus.Error."
         "ServiceUnknown: The name org.freedesktop.PolicyKit1 was not provided by any .service files\n",
         RightsRefusal::NoPrompt},
        {"no system bus", exited(127), "Error getting authority: Error initializing authority: Could not connect\n",
         RightsRefusal::NoPrompt},
        {"unknown 127 message", exited(127), "Cannot run program /x: No such file or directory\n", RightsRefusal::Failed},
        {"127 without message", exited(127), "", RightsRefusal::Failed},
        {"dead parent", exited(127), "Refusing to render service to dead parents.\n", RightsRefusal::Failed},
        {"other status", exited(1), "Not authorized", RightsRefusal::Failed},
        {"killed", SIGKILL, "", RightsRefusal::Failed},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        EXPECT_EQ(platform::pkexec::outcomeOf(test.waitStatus, test.message), test.expected);
    }
}

TEST(PkexecOutcome, EachRefusalKeepsItsKindThroughItsStatus)
{
    for (const RightsRefusal refusal : {RightsRefusal::None, RightsRefusal::Cancelled, RightsRefusal::NotAuthorized,
                                        RightsRefusal::NoPrompt, RightsRefusal::Failed}) {
        EXPECT_EQ(platform::refusalForStatus(platform::pkexec::statusFor(refusal)), refusal);
    }
}

} // namespace
