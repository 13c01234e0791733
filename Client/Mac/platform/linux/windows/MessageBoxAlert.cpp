#include "SystemWindows.h"

#include "Alert.h"
#include "Bundle.h"
#include "DesktopIntegration.h"
#include "Dialogs.h"

#include <QApplication>

#include <QAbstractButton>
#include <QCheckBox>
#include <QFileInfo>
#include <QIcon>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <sys/auxv.h>

namespace platform {
namespace {

// Point sizes of the regular and the small system font.
constexpr double kRegularFontSize = 13.0;
constexpr double kSmallFontSize = 11.0;

QString scriptedAnswer()
{
#ifdef QB_TEST_HOOKS
    if (getauxval(AT_SECURE) != 0)
        return {};
    return qEnvironmentVariable("QUORBEL_ALERT_ANSWER");
#else
    return {};
#endif
}

QCheckBox* makeSmallCheckBox(const QString& title)
{
    auto* checkBox = new QCheckBox(title);
    checkBox->setAttribute(Qt::WA_MacSmallSize);
    QFont font = checkBox->font();
    if (font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() * kSmallFontSize / kRegularFontSize);
    checkBox->setFont(font);
    return checkBox;
}

// A title of the answer that names the checkbox ticks it before a button is pressed.
void pressScriptedButton(QMessageBox& box, const QString& answer)
{
    const QStringList titles = answer.split(u'|');
    if (QCheckBox* checkBox = box.checkBox(); checkBox && titles.contains(checkBox->text()))
        checkBox->setChecked(true);
    for (QAbstractButton* button : box.buttons()) {
        if (titles.contains(button->text().remove(u'&'))) {
            std::fprintf(stderr, "Unattended alert: \"%s\" \"%s\" answered \"%s\"\n", qPrintable(box.text()),
                         qPrintable(box.informativeText()), qPrintable(button->text().remove(u'&')));
            std::fflush(stderr);
            button->click();
            return;
        }
    }
    std::fprintf(stderr, "QUORBEL_ALERT_ANSWER \"%s\" names no button of alert \"%s\"; waiting for the user\n",
                 qPrintable(answer), qPrintable(box.text()));
}

// The message box of a request, its buttons in request order.
QList<QPushButton*> configureBox(QMessageBox& box, const AlertRequest& request)
{
    box.setIcon(QMessageBox::NoIcon);
    box.setText(request.messageText);
    box.setInformativeText(request.informativeText);
    QList<QPushButton*> buttons;
    for (qsizetype i = 0; i < request.buttonTitles.size(); ++i) {
        const auto role = i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole;
        buttons.append(box.addButton(request.buttonTitles.at(i), role));
    }
    if (!buttons.isEmpty())
        box.setDefaultButton(buttons.first());
    if (request.escapeButton >= 0 && request.escapeButton < buttons.size())
        box.setEscapeButton(buttons.at(request.escapeButton));
    if (request.showsSuppressionButton)
        box.setCheckBox(makeSmallCheckBox(request.suppressionButtonTitle));
    return buttons;
}

AlertResponse responseOf(const QMessageBox& box, const QList<QPushButton*>& buttons)
{
    AlertResponse response;
    response.button = int(buttons.indexOf(qobject_cast<QPushButton*>(box.clickedButton())));
    response.suppressionChecked = box.checkBox() && box.checkBox()->isChecked();
    return response;
}

// Once the box is up: bring it forward and, in unattended runs, answer it.
void whenShown(QMessageBox* box)
{
    const QString answer = scriptedAnswer();
    QTimer::singleShot(0, box, [box, answer] {
        dialogs::bringForward(box);
        if (!answer.isEmpty())
            pressScriptedButton(*box, answer);
    });
}

class SystemPresenter final : public AlertPresenter {
public:
    AlertResponse runModal(const AlertRequest& request) override
    {
        QMessageBox box;
        const QList<QPushButton*> buttons = configureBox(box, request);
        whenShown(&box);
        box.exec();
        return responseOf(box, buttons);
    }

    void beginSheetModalForWindow(const AlertRequest& request, QWidget* window,
                                  std::function<void(const AlertResponse&)> completion) override
    {
        auto* box = new QMessageBox;
        box->setAttribute(Qt::WA_DeleteOnClose);
        // Closing presses the escape button, which a message box always finds.
        dialogs::attachSheet(box, window, dialogs::Closing::Offered);
        const QList<QPushButton*> buttons = configureBox(*box, request);
        QObject::connect(box, &QMessageBox::finished, box, [box, buttons, completion = std::move(completion)] {
            if (completion)
                completion(responseOf(*box, buttons));
        });
        box->open();
        whenShown(box);
    }
};

// The windows name the menu entry: X11 takes the class from the application
// name (the program's name would change with the executable's), Wayland the
// app id from the desktop file name. The display name gives every window,
// dialogs too, a title.
void setIdentity(QApplication& application)
{
    const Bundle& bundle = Bundle::mainBundle();
    const QString identifier = bundle.bundleIdentifier();
    if (!identifier.isEmpty()) {
        QCoreApplication::setApplicationName(desktop::windowClass(identifier));
        QGuiApplication::setDesktopFileName(identifier);
    }
    const QString name = bundle.infoDictionary().value(QStringLiteral("CFBundleName")).toString();
    QGuiApplication::setApplicationDisplayName(bundle.localizedString(QStringLiteral("ProductName"), name));
    QIcon icon;
    for (const int size : desktop::kIconSizes) {
        const QString path = desktop::bundleIconPath(bundle.resourcePath(), size);
        if (QFileInfo(path).isFile())
            icon.addFile(path, QSize(size, size));
    }
    if (!icon.isNull())
        application.setWindowIcon(icon);
}

QCoreApplication* makeWindowApplication(int& argc, char** argv)
{
    auto* application = new QApplication(argc, argv);
    setIdentity(*application);
    // Alerts come and go before any window exists; only the program ends the run.
    application->setQuitOnLastWindowClosed(false);
    return application;
}

} // namespace

windowsystem::Parts systemWindowParts()
{
    static SystemPresenter alerts;
    return {&alerts, makeWindowApplication, raiseWindows};
}

} // namespace platform
