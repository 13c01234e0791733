#include "FrameHints.h"

#include <QEvent>
#include <QGuiApplication>
#include <QWidget>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>

namespace platform::dialogs {
namespace {

// The Motif window manager hints, as every X11 window manager reads them.
struct MotifHints {
    uint32_t flags;
    uint32_t functions;
    uint32_t decorations;
    int32_t inputMode;
    uint32_t status;
};
constexpr uint32_t kHasFunctions = 1U << 0;
constexpr uint32_t kHasDecorations = 1U << 1;
constexpr uint32_t kFunctionMove = 1U << 2;
constexpr uint32_t kFunctionMinimise = 1U << 3;
constexpr uint32_t kFunctionClose = 1U << 5;
constexpr uint32_t kDecorationBorder = 1U << 1;
constexpr uint32_t kDecorationTitle = 1U << 3;
constexpr uint32_t kDecorationMenu = 1U << 4;
constexpr uint32_t kDecorationMinimise = 1U << 5;

MotifHints hintsFor(Qt::WindowFlags flags)
{
    MotifHints hints{kHasFunctions | kHasDecorations, kFunctionMove, kDecorationBorder | kDecorationTitle, 0, 0};
    if (flags & Qt::WindowMinimizeButtonHint) {
        hints.functions |= kFunctionMinimise;
        hints.decorations |= kDecorationMinimise;
    }
    if (flags & Qt::WindowCloseButtonHint)
        hints.functions |= kFunctionClose;
    if (flags & Qt::WindowSystemMenuHint)
        hints.decorations |= kDecorationMenu;
    return hints;
}

xcb_atom_t motifAtom(xcb_connection_t* connection)
{
    static xcb_atom_t atom = XCB_ATOM_NONE;
    if (atom != XCB_ATOM_NONE)
        return atom;
    static const char name[] = "_MOTIF_WM_HINTS";
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection,
                                                           xcb_intern_atom(connection, 0, sizeof name - 1, name), nullptr);
    if (reply) {
        atom = reply->atom;
        std::free(reply);
    }
    return atom;
}

// Written before the window is mapped: Qt sends the show event first.
class FrameHintsKeeper final : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show)
            writeFrameHints(static_cast<QWidget*>(watched));
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

void keepFrameHints(QWidget* window)
{
    window->installEventFilter(new FrameHintsKeeper(window));
}

void writeFrameHints(QWidget* window)
{
    // The offscreen platform answers for X11 too, without a connection.
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection || !window->testAttribute(Qt::WA_WState_Created))
        return;
    const xcb_atom_t atom = motifAtom(connection);
    if (atom == XCB_ATOM_NONE)
        return;
    const MotifHints hints = hintsFor(window->windowFlags());
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, xcb_window_t(window->winId()), atom, atom, 32,
                        sizeof hints / sizeof(uint32_t), &hints);
    xcb_flush(connection);
}

} // namespace platform::dialogs
