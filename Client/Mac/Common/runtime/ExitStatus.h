#pragma once
// The launcher's exit statuses, one meaning each. Scripts and fleet tools
// read them, so a value never changes its meaning; `--help` and the README
// print the same table.

#include "WindowSystem.h"

namespace ExitStatus {

inline constexpr int kDone = 0;             // for --check: every item in order
inline constexpr int kNotInOrder = 1;       // an item is not in order, or a repair failed
inline constexpr int kRefused = 2;          // refused as root, the manifest unreadable, or a file not written
inline constexpr int kPromptDismissed = 3;  // the administrator prompt was dismissed
inline constexpr int kNotAdministrator = 4; // this account may not administer the machine
inline constexpr int kNoPrompt = 5;         // no administrator prompt can be shown (no polkit daemon or agent)
inline constexpr int kNoDisplay = 6;        // a window was needed and no display can be used
inline constexpr int kCannotLaunch = 7;     // the launch could not do its work for another reason
inline constexpr int kUsage = 64;

// The status of a launch that needed a window the window system could not give.
inline int forUnavailableWindows()
{
    using platform::windowsystem::Problem;
    return platform::windowsystem::problem() == Problem::Display ? kNoDisplay : kCannotLaunch;
}

} // namespace ExitStatus
