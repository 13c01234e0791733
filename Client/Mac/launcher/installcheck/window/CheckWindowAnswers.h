#pragma once
// Unattended whole-program runs of the check window. The environment
// variable QUORBEL_CHECK_WINDOW_ANSWER holds button titles separated by
// commas ("Continue,Quit"). Each time the check window waits for the user,
// the next title is taken from the list and that button is pressed once
// control returns to the event loop, with the line
//   Unattended check window: answered "<title>"
// on standard error. When the list is used up, or a title names no button,
// the window waits for the user as usual. QUORBEL_STOP_BUTTON_AFTER_MS, when
// set, replaces the delay before the progress sheet offers "Stop". Both are
// ignored in set-user-ID processes.

#include <QList>

#include <chrono>
#include <optional>

class QAbstractButton;

namespace CheckWindowAnswers {

void answerIfScripted(const QList<QAbstractButton*>& buttons);
std::optional<std::chrono::milliseconds> scriptedStopButtonDelay();
// Reads the variable afresh (tests).
void reset();

} // namespace CheckWindowAnswers
