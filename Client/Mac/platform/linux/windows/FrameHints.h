#pragma once
// What the frame of a window offers, told to an X11 window manager through
// _MOTIF_WM_HINTS: moving always, minimising and closing where the window's
// flags ask for their buttons, never maximising or resizing (the windows
// made here size themselves from their layout). Qt's own hints ask for
// resizing on every window. Managers are free to add their own: openbox, for
// one, offers minimising and closing to every titled window and takes only
// moving and resizing (and with it maximising) from these hints, where
// others (icewm) take them all. Elsewhere than on X11 nothing is done.

class QWidget;

namespace platform::dialogs {

// Keeps the hints of `window` from its flags each time it is shown.
void keepFrameHints(QWidget* window);
// Writes them now, for a shown window whose flags Qt has just changed.
void writeFrameHints(QWidget* window);

} // namespace platform::dialogs
