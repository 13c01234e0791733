#include "Application.h"

#include <QApplication>
#include <QWidget>

namespace platform::application {

void activateIgnoringOtherApps()
{
    if (QWidget* window = QApplication::activeWindow())
        window->activateWindow();
}

} // namespace platform::application
