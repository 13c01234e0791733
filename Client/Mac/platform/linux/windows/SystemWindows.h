#pragma once
// The system's part of the window system: its alerts and the application
// object that shows windows.

#include "WindowSystem.h"

namespace platform {

windowsystem::Parts systemWindowParts();

} // namespace platform
