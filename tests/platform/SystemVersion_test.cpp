#include "SystemVersion.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace platform::gestalt;
using testing_support::ScopedEnvironment;

namespace {

struct Answer {
    int32_t status;
    int32_t value;
};

Answer ask(Selector which)
{
    Answer answer{0, -99};
    answer.status = Gestalt(which, &answer.value);
    return answer;
}

} // namespace

TEST(Gestalt, SystemVersionComesFromTheEnvironment)
{
    ScopedEnvironment environment;
    environment.set("QUORBEL_SYSTEM_VERSION", QStringLiteral("10.6.8"));
    EXPECT_EQ(ask(gestaltSystemVersionMajor).value, 10);
    EXPECT_EQ(ask(gestaltSystemVersionMinor).value, 6);
    EXPECT_EQ(ask(gestaltSystemVersionBugFix).value, 8);
    EXPECT_EQ(ask(gestaltSystemVersionBugFix).status, noErr);

    environment.set("QUORBEL_SYSTEM_VERSION", QStringLiteral("11"));
    EXPECT_EQ(ask(gestaltSystemVersionMajor).value, 11);
    EXPECT_EQ(ask(gestaltSystemVersionMinor).value, 0);
}

TEST(Gestalt, WithoutOrWithMalformedVersionTheSelectorsFailAndLeaveTheAnswer)
{
    ScopedEnvironment environment;
    environment.unset("QUORBEL_SYSTEM_VERSION");
    EXPECT_EQ(ask(gestaltSystemVersionMajor).status, gestaltUnknownErr);
    EXPECT_EQ(ask(gestaltSystemVersionMajor).value, -99);
    for (const char* bad : {"", "ten", "10.x", "10..6", "10.6.8.1", "-10.6", "+10", "99999999999"}) {
        environment.set("QUORBEL_SYSTEM_VERSION", QString::fromLatin1(bad));
        EXPECT_NE(ask(gestaltSystemVersionMinor).status, noErr) << bad;
    }
}

TEST(Gestalt, ArchitectureIsIntelAndUnknownSelectorsAreRefused)
{
#if defined(__x86_64__)
    EXPECT_EQ(ask(gestaltSysArchitecture).value, gestaltIntel);
#endif
    EXPECT_EQ(ask(selector("zzzz")).status, gestaltUndefSelectorErr);
    EXPECT_EQ(selector("sys1"), 0x73797331u);
}
