#pragma once
// The window system (widgets, alerts, the check window) is loaded when the
// first window or alert needs it: a launch that finds everything in order
// shows nothing and never pays for loading it. A program that links the
// window system in installs its parts at start instead.

#include <QString>

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

} // namespace platform::windowsystem
