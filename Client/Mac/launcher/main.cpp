#include "Quorbel_LauncherAppDelegate.h"

#include <QApplication>
#include <QTimer>

#include <cstdlib>

int main(int argc, char* argv[])
{
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
