#include "Dialogs.h"

#include "FrameHints.h"

#include <QDialog>
#include <QEvent>
#include <QGuiApplication>
#include <QLayout>
#include <QMessageBox>
#include <QPointer>
#include <QWidget>
#include <QWindow>

#include <algorithm>

namespace platform::dialogs {
namespace {

// Wayland leaves placement, stacking and activation to the compositor; asking
// for them there only earns a warning on standard error.
bool programsPlaceWindows()
{
    return !QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

void sizeFromLayout(QWidget* window)
{
    if (QLayout* layout = window->layout())
        layout->setSizeConstraint(QLayout::SetFixedSize);
}

// Keeps a sheet centred on its window each time it shows or grows, so that it
// lies inside the window; one taller than the window hangs from the top of
// its content, never over its title bar.
class SheetPlacement final : public QObject {
public:
    SheetPlacement(QWidget* sheet, QWidget* window) : QObject(sheet), m_window(window) {}

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if ((event->type() == QEvent::Show || event->type() == QEvent::Resize) && m_window)
            centre(static_cast<QWidget*>(watched));
        return QObject::eventFilter(watched, event);
    }

private:
    void centre(QWidget* sheet) const
    {
        QRect frame = sheet->frameGeometry();
        frame.moveCenter(m_window->frameGeometry().center());
        // Before the manager has framed the sheet its frame is its content:
        // leave room for a title bar like the window's.
        const int unframedTitle = sheet->frameGeometry() == sheet->geometry()
                                      ? m_window->geometry().top() - m_window->frameGeometry().top()
                                      : 0;
        frame.moveTop(std::max(frame.top(), m_window->geometry().top() + unframedTitle));
        sheet->move(frame.topLeft());
    }

    QPointer<QWidget> m_window;
};

} // namespace

void makeFixedSize(QWidget* window)
{
    window->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                           | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    sizeFromLayout(window);
    keepFrameHints(window);
}

void makeUndismissable(QWidget* window)
{
    window->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    sizeFromLayout(window);
    keepFrameHints(window);
}

void attachSheet(QDialog* sheet, QWidget* window, Closing closing)
{
    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if (closing == Closing::Offered)
        flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    sheet->setParent(window, flags); // a parent makes the dialog transient for it
    sheet->setWindowModality(Qt::WindowModal);
    // A message box fits itself to its texts.
    if (!qobject_cast<QMessageBox*>(sheet))
        sizeFromLayout(sheet);
    keepFrameHints(sheet);
    if (programsPlaceWindows())
        sheet->installEventFilter(new SheetPlacement(sheet, window));
}

void bringForward(QWidget* window)
{
    if (!programsPlaceWindows())
        return;
    window->raise();
    window->activateWindow();
}

void setStaysOnTop(QWidget* window, bool onTop)
{
    QWindow* handle = window->windowHandle();
    if (!handle || !window->isVisible()) {
        window->setWindowFlag(Qt::WindowStaysOnTopHint, onTop);
        return;
    }
    // QWidget::setWindowFlags would hide a shown window; its window changes in place.
    const Qt::WindowFlags flags = onTop ? window->windowFlags() | Qt::WindowStaysOnTopHint
                                        : window->windowFlags() & ~Qt::WindowStaysOnTopHint;
    window->overrideWindowFlags(flags);
    handle->setFlags(flags);
    writeFrameHints(window); // Qt has just written its own
}

} // namespace platform::dialogs
