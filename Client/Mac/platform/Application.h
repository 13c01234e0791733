#pragma once
// The application object: activation and termination.

#include <functional>

class QCoreApplication;

namespace platform::application {

// The program's own application object, made without the window system:
// the window system replaces it when first needed (see WindowSystem.h).
// `argc` and `argv` must outlive the application.
void start(int& argc, char** argv);
// Runs the event loop of the application object, unless the application
// was asked to terminate before: then answers that status at once.
int exec();
// Replaces the program's own application object by the one `make` makes.
// False when there is none to replace or an event loop runs.
bool replace(const std::function<QCoreApplication*(int&, char**)>& make);
// Told each time the application object was replaced.
void whenReplaced(std::function<void()> observer);

// Asks the event loop to end with `status` once control returns to it.
// Callers return after asking; isTerminating() tells later code to stop.
void terminate(int status = 0);
bool isTerminating();
// Ends the process at once with `status`, flushing the C streams first.
[[noreturn]] void exitNow(int status);
// Brings this application's windows to the front; part of the window system.
void activateIgnoringOtherApps();

} // namespace platform::application
