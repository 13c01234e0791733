#include "Application.h"

#include <QApplication>
#include <QWidget>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace platform::application {
namespace {
std::atomic<bool> gTerminating{false};
}

void terminate(int status)
{
    gTerminating = true;
    if (QCoreApplication::instance())
        QMetaObject::invokeMethod(QCoreApplication::instance(), [status] { QCoreApplication::exit(status); }, Qt::QueuedConnection);
}

bool isTerminating()
{
    return gTerminating;
}

void exitNow(int status)
{
    std::fflush(nullptr);
    std::_Exit(status);
}

void activateIgnoringOtherApps()
{
    if (QWidget* window = QApplication::activeWindow())
        window->activateWindow();
}

} // namespace platform::application
