#pragma once
// Windows a window manager can manage: fixed-size dialogs and sheets. A sheet
// is a dialog transient for its window and modal to it alone, centred inside
// it; both size themselves from their layout whenever their content changes.
// What a window system does not let a program do (placing, raising,
// activating its windows, as under Wayland) is left to it without a word.

class QDialog;
class QWidget;

namespace platform::dialogs {

// A title bar with minimise and close only; as large as its layout asks.
void makeFixedSize(QWidget* window);

// A window of its own for work that cannot be stopped: a dialog with a
// title and no buttons in its frame; as large as its layout asks.
void makeUndismissable(QWidget* window);

enum class Closing { Offered, NotOffered };
// Makes `sheet` a sheet on `window`. `NotOffered` is for a sheet that cannot
// be dismissed: its frame has no close button.
void attachSheet(QDialog* sheet, QWidget* window, Closing closing);

// Raises `window` and gives it the keyboard, where programs may.
void bringForward(QWidget* window);

// Puts `window` above ordinary windows or back among them, shown or not; a
// shown window is not hidden for the change.
void setStaysOnTop(QWidget* window, bool onTop);

} // namespace platform::dialogs
