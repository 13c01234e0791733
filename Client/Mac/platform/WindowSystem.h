#pragma once
// The window system (widgets, alerts, the check window) is loaded when the
// first window or alert needs it: a launch that finds everything in order
// shows nothing and never pays for loading it. A program that links the
// window system in installs its parts at start instead.

#include <QString>

#include <functional>

class QCoreApplication;

namespace platform {
class AlertPresenter;
}

namespace platform::windowsystem {

// What the window system brings.
struct Parts {
    AlertPresenter* alerts = nullptr;
    // Makes the application object that can show windows.
    QCoreApplication* (*makeApplication)(int& argc, char** argv) = nullptr;
    // Brings the windows that are up to the front; false where the platform
    // does not let an application do so, or none is up.
    bool (*raiseWindows)() = nullptr;
};
void install(const Parts& parts);

// The module that installs the parts when loaded: a shared library whose
// function quorbelWindowSystemEntry installs them, named relative to the
// folder of the program's executable. Set by the program.
void setModule(const QString& pathFromExecutableFolder);

// Whether windows can be shown now, loading the window system on first use
// and, when the application object is the program's own (application::start),
// replacing it by one that can show windows. That replacement cannot happen
// while an event loop runs. False with the reason when windows cannot be shown.
bool load(QString* why = nullptr);

// The installed alerts; null before load() succeeded.
AlertPresenter* alerts();

// What kept load() from succeeding: the module (missing, unloadable, refused)
// or the display (none named, or nobody answers on it). Before the window
// application is made, the display is tried: the window system would abort
// the process without one.
enum class Problem { None, Module, Display };
Problem problem();
// Told once, on the first failed load(), what failed and why.
void whenUnavailable(std::function<void(Problem, const QString& why)> report);

// Brings this program's windows to the front (see Parts::raiseWindows);
// false before load() succeeded.
bool raiseWindows();

} // namespace platform::windowsystem
