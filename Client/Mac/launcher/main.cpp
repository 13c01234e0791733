#include "Quorbel_LauncherAppDelegate.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    // Alerts come and go before any window exists; only the delegate ends the run.
    application.setQuitOnLastWindowClosed(false);
    Quorbel_LauncherAppDelegate delegate;
    QTimer::singleShot(0, &delegate, &Quorbel_LauncherAppDelegate::applicationDidFinishLaunching);
    return application.exec();
}
