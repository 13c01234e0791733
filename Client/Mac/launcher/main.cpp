#include "CommandLine.h"
#include "Quorbel_LauncherAppDelegate.h"

#include <QApplication>
#include <QTimer>

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
    return application.exec();
}
