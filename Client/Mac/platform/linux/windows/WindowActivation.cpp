#include "Application.h"
#include "SystemWindows.h"

#include "Dialogs.h"

#include <QApplication>
#include <QWidget>

namespace platform::application {

void activateIgnoringOtherApps()
{
    if (QWidget* window = QApplication::activeWindow())
        dialogs::bringForward(window);
}

} // namespace platform::application

namespace platform {

bool raiseWindows()
{
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland")))
        return false;
    bool raised = false;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (!window->isVisible())
            continue;
        // A minimised window is visible to Qt but not to the user.
        if (window->isMinimized())
            window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
        window->raise();
        window->activateWindow();
        raised = true;
    }
    return raised;
}

} // namespace platform
