// The check window: its texts, its two buttons, the progress sheet during a
// repair run, and what happens on the main thread when the run hands back.

#include "InstallCheckManager.h"

#include "Alert.h"
#include "Application.h"
#include "BrandingManager.h"
#include "CheckWindowAnswers.h"
#include "Dialogs.h"
#include "ExitStatus.h"
#include "Format.h"
#include "LocalizedString.h"
#include "Logging.h"
#include "QuorbelHeaderView.h"
#include "UpdateToolManager.h"
#include "ui_InstallCheck.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>

#include <system_error>
#include <thread>

namespace {

// Return and Enter press the button, as for a window's default button.
void makeDefaultButton(QWidget* window, QPushButton* button)
{
    button->setDefault(true);
    for (const int key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* shortcut = new QShortcut(QKeySequence(key), window);
        QObject::connect(shortcut, &QShortcut::activated, button, [button] {
            if (button->isEnabled() && button->isVisible())
                button->click();
        });
    }
}

// Escape presses the quit button, as for a window's cancel button.
void makeEscapeButton(QWidget* window, QPushButton* button)
{
    auto* shortcut = new QShortcut(QKeySequence(Qt::Key_Escape), window);
    QObject::connect(shortcut, &QShortcut::activated, button, [button] {
        if (button->isEnabled() && button->isVisible())
            button->click();
    });
}

void centreOnScreen(QWidget* window)
{
    const QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    window->adjustSize(); // the size its layout fixes, before the window first shows
    QRect frame = window->frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window->move(frame.topLeft());
}

void startAnimation(QProgressBar* indicator)
{
    indicator->setRange(0, 0); // an indeterminate bar is a busy indicator
}

void stopAnimation(QProgressBar* indicator)
{
    indicator->setRange(0, 1);
    indicator->setValue(0);
}

// Why the run failed, in words that say what the user can do; empty when
// nothing more than the general text is known.
QString reasonText(const UpdateToolManager::LastRefusal& last)
{
    using Refusal = UpdateToolManager::Refusal;
    switch (last.refusal) {
    case Refusal::None:
        return {};
    case Refusal::Cancelled:
        return QBLocalizedString(QStringLiteral("RepairReasonCancelled"));
    case Refusal::NotAuthorized:
        return QBLocalizedString(QStringLiteral("RepairReasonNotAuthorized"));
    case Refusal::NoPrompt:
        return QBLocalizedString(QStringLiteral("RepairReasonNoPrompt"));
    case Refusal::Stopped:
        return QBLocalizedString(QStringLiteral("RepairReasonStopped"));
    case Refusal::Failed:
        break;
    }
    if (last.reason.isEmpty())
        return {};
    return QBLocalizedStringWithArguments(QStringLiteral("RepairReasonFailed"), last.reason);
}

platform::AlertRequest failureAlert(const char* titleKey, const QString& reason = {})
{
    platform::AlertRequest alert;
    alert.messageText = QBLocalizedString(QString::fromLatin1(titleKey));
    alert.informativeText = qbFormat("%1", QBLocalizedString(QStringLiteral("RepairFailed")));
    if (!reason.isEmpty())
        alert.informativeText += QStringLiteral("\n\n") + reason;
    alert.buttonTitles = {QBLocalizedString(QStringLiteral("OK"))};
    return alert;
}

} // namespace

namespace {

// What would dismiss a dialog: Escape, or closing it from the window system.
bool dismissesDialog(const QEvent* event)
{
    if (event->type() == QEvent::Close)
        return true;
    return event->type() == QEvent::KeyPress && static_cast<const QKeyEvent*>(event)->key() == Qt::Key_Escape;
}

} // namespace

// Closing the check window ends the application; the progress sheet blocks
// the window for the whole run: dismissed early, it would let "Continue"
// start a second run beside the first.
class InstallCheckManager::WindowEvents final : public QObject {
public:
    explicit WindowEvents(InstallCheckManager& manager) : QObject(&manager), m_manager(manager) {}

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == m_manager.checkWindow && event->type() == QEvent::Close)
            m_manager.windowWillClose(m_manager.checkWindow);
        if (watched == m_manager.repairProgressWindow && m_manager.m_progressSheetUp && dismissesDialog(event)) {
            event->ignore();
            return true;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    InstallCheckManager& m_manager;
};

// ---- The interface ----

void InstallCheckManager::loadInterface()
{
    // Without a window system (benchmarks, command-line checks) there is no window to load.
    if (m_checkWindowOwner || !qobject_cast<QApplication*>(QCoreApplication::instance()))
        return;
    // The window owns what the form makes; the form only names the parts.
    Ui::InstallCheck form;
    m_checkWindowOwner = std::make_unique<QWidget>();
    form.setupUi(m_checkWindowOwner.get());
    repairProgressWindow = form.repairProgressWindow;
    repairProgressIndicator = form.repairProgressIndicator;
    repairProgressText = form.repairProgressText;
    // Offered once a run has lasted a while: ends the tool that runs.
    repairStopButton = new QPushButton(repairProgressWindow);
    if (auto* layout = qobject_cast<QBoxLayout*>(repairProgressWindow->layout()))
        layout->addWidget(repairStopButton, 0, Qt::AlignRight);
    repairStopButton->hide();
    m_stopButtonTimer = new QTimer(this);
    m_stopButtonTimer->setSingleShot(true);
    checkWindow = m_checkWindowOwner.get();
    platform::dialogs::makeFixedSize(checkWindow);
    // The run cannot be dismissed while it lasts: no close button to offer.
    platform::dialogs::attachSheet(repairProgressWindow, checkWindow, platform::dialogs::Closing::NotOffered);
    if (const auto delay = CheckWindowAnswers::scriptedStopButtonDelay())
        m_stopButtonDelay = *delay;
    checkHeaderView = form.checkHeaderView;
    checkText = form.checkText;
    checkInstall = form.checkInstall;
    checkDontInstall = form.checkDontInstall;
    connectActions();
    awakeFromNib();
}

void InstallCheckManager::connectActions()
{
    connect(checkInstall, &QPushButton::clicked, this, [this] { installButtonClick(checkInstall); });
    connect(checkDontInstall, &QPushButton::clicked, this, [this] { dontInstallButtonClick(checkDontInstall); });
    connect(repairProgressWindow, &QDialog::finished, this,
            [this](int code) { sheetDidEnd(repairProgressWindow, code, nullptr); });
    connect(m_stopButtonTimer, &QTimer::timeout, this, [this] {
        if (m_progressSheetUp)
            repairStopButton->show();
    });
    connect(repairStopButton, &QPushButton::clicked, this, [this] {
        logNormal("User stopped the repair");
        repairStopButton->setEnabled(false);
        UpdateToolManager::sharedManager().stopRunningTool();
    });
    auto* events = new WindowEvents(*this);
    checkWindow->installEventFilter(events);
    repairProgressWindow->installEventFilter(events);
}

void InstallCheckManager::awakeFromNib()
{
    checkHeaderView->setTitle(QBLocalizedString(QStringLiteral("Installing Quorbel")));
    checkHeaderView->setUseWelcomeBranding(true);
    BrandingManager::sharedManager().setHeaderViewBrandedLogoImage(checkHeaderView);

    checkInstall->setText(QBLocalizedString(QStringLiteral("Continue")));
    checkDontInstall->setText(QBLocalizedString(QStringLiteral("QuorbelLauncher_DontInstall")));
    checkWindow->setWindowTitle(QBLocalizedString(QStringLiteral("ProductName")));
    repairProgressText->setText(QBLocalizedString(QStringLiteral("QuorbelLauncher_Installing")));
    repairStopButton->setText(QBLocalizedString(QStringLiteral("QuorbelLauncher_StopRepair")));
    makeDefaultButton(checkWindow, checkInstall);
    makeEscapeButton(checkWindow, checkDontInstall);
    // The focus ring is where Return acts.
    checkInstall->setFocus();
}

// ---- Showing the window ----

QString InstallCheckManager::repairExplanation() const
{
    QString text = QBLocalizedString(QStringLiteral("QuorbelLauncher_RepairInfo"));
    if (m_MacFuseRepairRequired || m_HelperRepairRequired) {
        text += QBLocalizedString(QStringLiteral("QuorbelLauncher_Components"));
        if (m_MacFuseRepairRequired)
            text += QBLocalizedString(QStringLiteral("QuorbelLauncher_FileSystem"));
        if (m_HelperRepairRequired)
            text += QBLocalizedString(QStringLiteral("QuorbelLauncher_Helpers"));
        text += u'\n';
    }
    return text;
}

void InstallCheckManager::runSelfRepair()
{
    logNormal("Install check: items not in order: %1 (update tool repairs: %2); showing the check window",
              numberItemsMissing, numberRepairsRequired);
    loadInterface();
    if (!checkWindow) {
        logError("No check window can be shown here; not starting the core");
        platform::application::terminate(ExitStatus::kCannotLaunch);
        return;
    }
    checkText->setText(repairExplanation());
    // Above ordinary windows; the flag must be set before the window is shown.
    platform::dialogs::setStaysOnTop(checkWindow, true);
    centreOnScreen(checkWindow);
    platform::application::activateIgnoringOtherApps();
    checkWindow->show();
    platform::dialogs::bringForward(checkWindow);
    waitForUser();
}

void InstallCheckManager::waitForUser()
{
    CheckWindowAnswers::answerIfScripted({checkInstall, checkDontInstall});
}

// ---- The buttons ----

void InstallCheckManager::installButtonClick(QObject* /*sender*/)
{
    logNormal("User chose to repair");
    // The run may ask for administrator rights: the system's prompt can be an
    // ordinary window, and nothing may cover it.
    platform::dialogs::setStaysOnTop(checkWindow, false);
    m_progressSheetUp = true;
    repairStopButton->hide();
    repairStopButton->setEnabled(true);
    repairProgressWindow->open();
    startAnimation(repairProgressIndicator);
    m_stopButtonTimer->start(m_stopButtonDelay);
    startRepairThread();
}

void InstallCheckManager::dontInstallButtonClick(QObject* /*sender*/)
{
    logNormal("User chose to quit");
    flushLogFile();
    platform::application::exitNow(0);
}

void InstallCheckManager::windowWillClose(QWidget* window)
{
    if (window != checkWindow)
        return;
    logNormal("Check window closed; terminating");
    platform::application::terminate();
}

void InstallCheckManager::sheetDidEnd(QDialog* sheet, int /*returnCode*/, void* /*contextInfo*/)
{
    sheet->hide();
}

void InstallCheckManager::endProgressSheet()
{
    stopAnimation(repairProgressIndicator);
    m_stopButtonTimer->stop();
    repairStopButton->hide();
    m_progressSheetUp = false;
    repairProgressWindow->done(0);
    platform::dialogs::setStaysOnTop(checkWindow, true);
}

// ---- Back on the main thread ----

void InstallCheckManager::bringWindowBackToFront()
{
    endProgressSheet();
    if (!checkForRequiredItems())
        return; // the window is up again with text for the new findings
    // The launch ends the application; a launch that could not happen ends it
    // once its alert is dismissed.
    runQuorbel();
}

bool InstallCheckManager::runQuorbel()
{
    updateStatus();
    if (numberItemsMissing < 1) {
        m_launchCore();
        return true;
    }
    logError("Install check: %1 items still not in order after the repair; not starting the core", numberItemsMissing);
    platform::AlertPresenter::shared().beginSheetModalForWindow(
        failureAlert("RunFailedTitle"), checkWindow, [](const platform::AlertResponse&) {
            logNormal("Will terminate now");
            platform::application::terminate(ExitStatus::kCannotLaunch);
        });
    return false;
}

void InstallCheckManager::repairFailed()
{
    endProgressSheet();
    platform::AlertPresenter::shared().beginSheetModalForWindow(
        failureAlert("RepairFailedTitle", reasonText(UpdateToolManager::sharedManager().lastRefusal())), checkWindow,
        [this](const platform::AlertResponse&) { waitForUser(); });
}

// ---- The repair thread ----

void InstallCheckManager::startRepairThread()
{
    RepairRun run = repairRunForLastCheck();
    ++m_repairThreadsRunning;
    try {
        std::thread([this, run = std::move(run)] {
            runSelfRepairThread(run);
            --m_repairThreadsRunning;
        }).detach();
    } catch (const std::system_error& error) {
        --m_repairThreadsRunning;
        logError("Could not start the repair thread (%1)", QString::fromLocal8Bit(error.what()));
        repairFailed();
    }
}

void InstallCheckManager::runSelfRepairThread(const RepairRun& run)
{
    if (!performRepairRun(run)) {
        _repairFailed();
        return;
    }
    QMetaObject::invokeMethod(this, &InstallCheckManager::bringWindowBackToFront, Qt::QueuedConnection);
}

void InstallCheckManager::_repairFailed()
{
    QMetaObject::invokeMethod(this, &InstallCheckManager::repairFailed, Qt::QueuedConnection);
}
