#include "Application.h"
#include "Authorization.h"
#include "CommandLine.h"
#include "Logging.h"
#include "Quorbel_LauncherAppDelegate.h"
#include "WindowSystem.h"

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    // Read before Qt takes its own options out of argv.
    const CommandLine::Request request = CommandLine::parse(argc, argv);
    if (request.command != CommandLine::Command::None) {
        // No widget in command-line mode: it runs without a display.
        QCoreApplication application(argc, argv);
        return CommandLine::run(request);
    }
    // The windows come from the bundle's module when the first one is needed.
    platform::application::start(argc, argv);
    // What a move installs is the bundle that was started, as it was now.
    (void)platform::runningBundleIdentity();
    platform::windowsystem::setModule(QStringLiteral("../Frameworks/libQuorbelWindows.so"));
    Quorbel_LauncherAppDelegate delegate;
    // Before the event loop: the first window replaces the application
    // object, which cannot happen while its loop runs.
    delegate.applicationDidFinishLaunching();
    const int status = platform::application::exec();
    // Ends here, as the launch ended. Settings are written when set and the
    // log is flushed here; every library's teardown (the window system's would
    // first load the whole font configuration only to free it) only delays the end.
    flushLogFile();
    platform::application::exitNow(status);
}
