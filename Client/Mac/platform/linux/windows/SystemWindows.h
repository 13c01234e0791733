#pragma once
// The system's part of the window system: its alerts and the application
// object that shows windows.

#include "WindowSystem.h"

namespace platform {

windowsystem::Parts systemWindowParts();
// Raises and activates every window that is up (X11); false on Wayland, where
// only the compositor may bring a window forward, or when none is up.
bool raiseWindows();

} // namespace platform
