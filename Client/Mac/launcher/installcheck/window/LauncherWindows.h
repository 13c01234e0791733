#pragma once
// The launcher's part of the window system: installed when the window system
// module loads, or at start by a program that links the windows in.

void installLauncherWindows();
