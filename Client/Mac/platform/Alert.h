#pragma once
// Modal alerts.
//
// Unattended runs (whole-program checks, scripted demos) can answer alerts
// without a person: when the environment variable QUORBEL_UNATTENDED_ALERT_ANSWER
// holds a button title, each alert is shown as usual, its texts are written to
// standard error as one line
//   Unattended alert: "<text>" "<informative text>" answered "<title>"
// and the button with that title is pressed. An alert without such a button
// stays up. Set-user-ID processes ignore the variable.

class QAbstractButton;
class QMessageBox;

namespace platform::alerts {

// Shows the alert modally; answers the button that closed it (null when
// none did, for instance when the application is ending).
QAbstractButton* runModal(QMessageBox& alert);

} // namespace platform::alerts
