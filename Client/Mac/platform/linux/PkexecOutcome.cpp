#include "PkexecOutcome.h"

#include <sys/wait.h>

namespace platform::pkexec {
namespace {

constexpr int kDismissed = 126;
constexpr int kNotAuthorized = 127;

bool says(const QByteArray& message, const char* text)
{
    return message.contains(text);
}

} // namespace

RightsRefusal outcomeOf(int waitStatus, const QByteArray& message)
{
    if (!WIFEXITED(waitStatus))
        return RightsRefusal::Failed;
    const int status = WEXITSTATUS(waitStatus);
    // pkexec gives 126 for nothing but a dismissed prompt.
    if (status == kDismissed)
        return RightsRefusal::Cancelled;
    if (status != kNotAuthorized)
        return RightsRefusal::Failed;
    if (says(message, "Not authorized"))
        return RightsRefusal::NotAuthorized;
    // No agent to ask with, or no polkit daemon to ask (pkexec cannot reach
    // it, or the bus cannot start it).
    if (says(message, "No authentication agent found") || says(message, "Error getting authority")
        || says(message, "Error checking for authorization") || says(message, "Error creating textual authentication agent")
        || says(message, "Error registering local authentication agent"))
        return RightsRefusal::NoPrompt;
    return RightsRefusal::Failed;
}

int32_t statusFor(RightsRefusal refusal)
{
    switch (refusal) {
    case RightsRefusal::None:
        return errAuthorizationSuccess;
    case RightsRefusal::Cancelled:
        return errAuthorizationCanceled;
    case RightsRefusal::NotAuthorized:
        return errAuthorizationDenied;
    case RightsRefusal::NoPrompt:
        return errAuthorizationInteractionNotAllowed;
    case RightsRefusal::Failed:
        break;
    }
    return errAuthorizationToolExecuteFailure;
}

} // namespace platform::pkexec
