#include "Application.h"

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
