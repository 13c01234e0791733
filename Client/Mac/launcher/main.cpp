#include "CommandLine.h"
#include "Quorbel_LauncherAppDelegate.h"

#include <QApplication>
#include <QTimer>

#include <cstdlib>

int main(int argc, char* argv[])
{
    // Read before Qt takes its own options out of argv.
    const CommandLine::Request request = CommandLine::parse(argc, argv);
    if (request.command != CommandLine::Command::None) {
        // No widget in command-line mode: it runs without a display.
        QCoreApplication application(argc, argv);
        return CommandLine::run(request);
    }
    QApplication application(argc, argv);
    // Alerts come and go before any window exists; only the delegate ends the run.
    application.setQuitOnLastWindowClosed(false);
    Quorbel_LauncherAppDelegate delegate;
    QTimer::singleShot(0, &delegate, &Quorbel_LauncherAppDelegate::applicationDidFinishLaunching);
    const int status = application.exec();
    // Ends here, as the launch ended: tearing the application object down
    // would first load the whole font configuration only to free it again.
    // Exit handlers and the C library's streams still run and flush.
    std::exit(status);
}
