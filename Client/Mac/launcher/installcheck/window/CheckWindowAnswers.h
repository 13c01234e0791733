#pragma once
// Unattended whole-program runs of the check window. The environment
// variable QUORBEL_CHECK_WINDOW_ANSWER holds button titles separated by
// commas ("Continue,Quit"). Each time the check window waits for the user,
// the next title is taken from the list and that button is pressed once
// control returns to the event loop, with the line
//   Unattended check window: answered "<title>"
// on standard error. When the list is used up, or a title names no button,
// the window waits for the user as usual. Ignored in set-user-ID processes.

#include <QList>

class QAbstractButton;

namespace CheckWindowAnswers {

void answerIfScripted(const QList<QAbstractButton*>& buttons);
// Reads the variable afresh (tests).
void reset();

} // namespace CheckWindowAnswers
