#pragma once
// Modal alerts: a message, an informative text, buttons and an optional
// "do not ask again" checkbox. Code asks the shared presenter; tests install
// one that answers for the user.
//
// For unattended whole-program runs the system presenter honours
// QUORBEL_ALERT_ANSWER: when it holds the title of one of an alert's buttons
// (several titles may be given, separated by "|"; one that names the
// checkbox ticks it), the real alert is shown and that button is pressed as
// soon as it is up, with
// the line  Unattended alert: "<text>" "<informative text>" answered "<title>"
// on standard error. Without a matching button the alert waits for
// the user as usual. Ignored in set-user-ID processes.

#include <QString>
#include <QStringList>

#include <functional>

class QWidget;

namespace platform {

struct AlertRequest {
    QString messageText;
    QString informativeText;
    // The first button is the default one.
    QStringList buttonTitles;
    // Index of the button that answers to Escape; -1 for none.
    int escapeButton = -1;
    bool showsSuppressionButton = false;
    QString suppressionButtonTitle;
};

struct AlertResponse {
    // Index into buttonTitles; -1 when the alert ended without a button.
    int button = -1;
    bool suppressionChecked = false;
};

class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;
    // Brings the application to the front and runs the alert modally.
    virtual AlertResponse runModal(const AlertRequest& request) = 0;
    // Shows the alert as a sheet on `window`: modal to that window only, and
    // returns at once. `completion`, when given, runs on the main thread with
    // the answer once the alert is dismissed. The system's sheet unless a
    // presenter does otherwise.
    virtual void beginSheetModalForWindow(const AlertRequest& request, QWidget* window,
                                          std::function<void(const AlertResponse&)> completion);

    // The presenter in use: the system's, unless a test installed another.
    static AlertPresenter& shared();
    static void setShared(AlertPresenter* presenter); // nullptr restores the system's
};

} // namespace platform
