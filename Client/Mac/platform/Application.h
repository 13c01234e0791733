#pragma once
// The application object: activation and termination.

namespace platform::application {

// Asks the event loop to end with `status` once control returns to it.
// Callers return after asking; isTerminating() tells later code to stop.
void terminate(int status = 0);
bool isTerminating();
// Ends the process at once with `status`, flushing the C streams first.
[[noreturn]] void exitNow(int status);
// Brings this application's windows to the front.
void activateIgnoringOtherApps();

} // namespace platform::application
