// The check window and the repair run, in process: texts, the order of the
// repairs and where a run stops, against a recording update tool in a
// scratch system tree.

#include "InstallCheckManager.h"

#include "Alert.h"
#include "Application.h"
#include "Authorization.h"
#include "BrandingManager.h"
#include "Bundle.h"
#include "CheckWindowAnswers.h"
#include "ExitStatus.h"
#include "KeyConstants.h"
#include "LocalizedString.h"
#include "QtPrinters.h"
#include "QuorbelHeaderView.h"
#include "TestSupport.h"
#include "UpdateToolManager.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <gtest/gtest.h>

#include <atomic>

#include <sys/wait.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace testing_support;

namespace {

QString text(const char* key)
{
    return QBLocalizedString(QString::fromLatin1(key));
}

bool waitFor(const std::function<bool()>& condition, int timeoutMs = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition() && timer.elapsed() < timeoutMs)
        QTest::qWait(10);
    return condition();
}

QVariantMap item(const QString& type, const QString& name, const QVariantMap& more = {})
{
    QVariantMap result = more;
    result.insert(kInstallType, type);
    result.insert(kName, name);
    return result;
}

// Runs tools "with administrator rights" at once and to their end, so that
// the order of what they record is the order of the calls.
class ImmediateAuthorization final : public platform::AuthorizationService {
    class Session final : public platform::AuthorizationSession {
    public:
        explicit Session(const ImmediateAuthorization& owner) : m_owner(owner) {}
        int32_t copyAdminRights() override
        {
            m_owner.topLevelWhileAsking = m_owner.window && m_owner.window->windowHandle()
                                          && m_owner.window->windowHandle()->flags().testFlag(Qt::WindowStaysOnTopHint);
            return m_owner.rights;
        }
        // {"updatetool", limit, "repair", tool, signature} or {"updatetool", limit, "repairpermissions"}.
        int32_t perform(const QStringList& request, platform::PrivilegedOutcome* outcome) override
        {
            const bool carried = request.value(2) == QStringLiteral("repair");
            const QString tool = carried ? request.value(3) : UpdateToolManager::installedUpdateToolPath();
            const QStringList arguments = carried ? QStringList{request.value(2), request.value(4)} : request.mid(2);
            const int code = QProcess::execute(tool, arguments);
            if (code < 0)
                return platform::errAuthorizationToolExecuteFailure;
            outcome->done = true;
            outcome->waitStatus = W_EXITCODE(code, 0);
            return platform::errAuthorizationSuccess;
        }

    private:
        const ImmediateAuthorization& m_owner;
    };

public:
    std::unique_ptr<platform::AuthorizationSession> createSession(int32_t* status) override
    {
        *status = platform::errAuthorizationSuccess;
        return std::make_unique<Session>(*this);
    }

    std::atomic<int32_t> rights{platform::errAuthorizationSuccess};
    // The check window, and whether it stayed above other windows while rights were asked for.
    QWidget* window = nullptr;
    mutable std::atomic<bool> topLevelWhileAsking{false};
};

// Records the alerts shown as sheets and answers them with their first button.
class RecordingAlerts final : public platform::AlertPresenter {
public:
    struct Sheet {
        platform::AlertRequest request;
        QWidget* window;
    };
    platform::AlertResponse runModal(const platform::AlertRequest&) override { return {0, false}; }
    void beginSheetModalForWindow(const platform::AlertRequest& request, QWidget* window,
                                  std::function<void(const platform::AlertResponse&)> completion) override
    {
        sheets.push_back({request, window});
        if (holdSheets)
            held.push_back(std::move(completion));
        else if (completion)
            completion({0, false});
    }
    std::vector<Sheet> sheets;
    // Sheets the user has not answered yet.
    bool holdSheets = false;
    std::vector<std::function<void(const platform::AlertResponse&)>> held;
};

class RepairTest : public ::testing::Test {
protected:
    RepairTest()
    {
        environment.unset("QUORBEL_CHECK_WINDOW_ANSWER");
        environment.unset("QUORBEL_SYSTEM_VERSION");
        CheckWindowAnswers::reset();
        // The texts of the sample bundle's strings table.
        platform::Bundle::setMainBundlePath(QStringLiteral(QB_BUNDLE_DIR));
        BrandingManager::resetSharedManagerForTesting();
        platform::AuthorizationService::setShared(&authorization);
        platform::AlertPresenter::setShared(&alerts);
        bundle = makeBundle(home.path(QStringLiteral("Launcher.app")), {});
        resources = bundle + QStringLiteral("/Contents/Resources");
        installTool(QString());
    }
    ~RepairTest() override
    {
        manager.reset();
        platform::AuthorizationService::setShared(nullptr);
        platform::AlertPresenter::setShared(nullptr);
    }

    // The installed update tool and the launcher's copy of it: each records
    // its arguments and fails for arguments containing `failOn`; asked
    // without arguments it prints the launcher's version.
    void installTool(const QString& failOn, const QString& extra = QString())
    {
        QString body = QStringLiteral("if [ $# -eq 0 ]; then echo '1.19.0 (5)'; exit 0; fi\n"
                                      "printf '%s\\n' \"$*\" >> '%1'\n")
                           .arg(record());
        if (!failOn.isEmpty())
            body += QStringLiteral("case \"$*\" in *'%1'*) exit 4;; esac\n").arg(failOn);
        body += extra + QStringLiteral("\nexit 0");
        const QString installed = makeScript(updateToolPath(), body);
        ::chmod(QFile::encodeName(installed).constData(), 04755);
        makeScript(resources + QStringLiteral("/updateqb"), body);
    }
    QString updateToolPath() const
    {
        return home.systemRoot() + QStringLiteral("/Library/Application Support/Quorbel/updateqb");
    }
    QString record() const { return home.path(QStringLiteral("argv")); }
    QStringList recorded() const { return QString::fromUtf8(readFile(record())).split(u'\n', Qt::SkipEmptyParts); }

    InstallCheckManager& check(const QVariantList& items)
    {
        writePlist(resources + QStringLiteral("/RequiredItems.plist"), QVariantMap{{"RequiredItems", items}});
        manager = std::make_unique<InstallCheckManager>(platform::Bundle(bundle));
        manager->setRepairPause(std::chrono::milliseconds(0));
        manager->setLaunchCoreFunction([this] { ++launches; });
        return *manager;
    }
    // Shows the window as at start-up, presses "Continue" and waits for the hand-back.
    void runRepair(InstallCheckManager& m)
    {
        // The window is loaded when the check first shows it.
        if (!m.checkWindow || !m.checkWindow->isVisible()) {
            ASSERT_FALSE(m.checkForRequiredItems());
        }
        m.checkInstall->click();
        EXPECT_TRUE(m.repairProgressWindow->isVisible());
        ASSERT_TRUE(waitFor([&] { return !m.repairProgressWindow->isVisible(); })) << "the run never handed back";
    }

    QVariantMap coreApp(mode_t mode)
    {
        const QString core = makeBundle(resources + QStringLiteral("/QuorbelCore.app"), {});
        ::chmod(QFile::encodeName(core).constData(), mode);
        return item("CoreApp", "QuorbelCore", {{kResource, "QuorbelCore.app"}});
    }
    QVariantMap missingTool(const QString& name)
    {
        return item(
            "QBTool", name,
            {{kInstallPath, home.systemRoot() + "/usr/local/bin/" + name}, {kResource, name}, {kSignature, name + ".sig"}});
    }
    QVariantMap updateTool()
    {
        return item("QBToolRoot", "updateqb",
                    {{kInstallPath, updateToolPath()}, {kResource, "updateqb"}, {kSignature, "updateqb.sig"}});
    }
    QVariantMap missingBundle(const QString& name, const QString& installer = QString())
    {
        QVariantMap more{{kInstallPath, home.systemRoot() + "/Library/Filesystems/" + name + ".fs"}, {kVersion, "1.0.0"}};
        if (!installer.isEmpty())
            more.insert(kInstaller, installer);
        return item("Bundle", name, more);
    }
    QString resource(const QString& name) const { return resources + u'/' + name; }

    ScopedEnvironment environment;
    ScratchHome home;
    LogCapture log;
    ImmediateAuthorization authorization;
    RecordingAlerts alerts;
    QString bundle;
    QString resources;
    std::unique_ptr<InstallCheckManager> manager;
    int launches = 0;
};

} // namespace

TEST_F(RepairTest, TheWindowComesUpWithItsTextsAndAnExplanationForWhatWasFound)
{
    InstallCheckManager& m = check({coreApp(0775)});
    // Loaded when first needed, not with the manager.
    EXPECT_EQ(m.checkWindow, nullptr);
    EXPECT_EQ(m.checkInstall, nullptr);
    m.loadInterface();
    EXPECT_EQ(m.checkHeaderView->title(), text("Installing Quorbel"));
    EXPECT_TRUE(m.checkHeaderView->useWelcomeBranding());
    EXPECT_EQ(m.checkInstall->text(), text("Continue"));
    EXPECT_TRUE(m.checkInstall->isDefault());
    EXPECT_EQ(m.checkDontInstall->text(), text("QuorbelLauncher_DontInstall"));
    EXPECT_EQ(m.checkWindow->windowTitle(), QStringLiteral("Quorbel"));
    EXPECT_EQ(m.repairProgressText->text(), text("QuorbelLauncher_Installing"));
    EXPECT_EQ(m.repairProgressWindow->windowModality(), Qt::WindowModal);
    EXPECT_FALSE(m.checkWindow->isVisible());

    EXPECT_FALSE(m.checkForRequiredItems());
    EXPECT_TRUE(m.checkWindow->isVisible());
    EXPECT_TRUE(m.checkWindow->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_FALSE(m.repairProgressWindow->isVisible());

    // Return presses "Continue".
    ASSERT_TRUE(QTest::qWaitForWindowActive(m.checkWindow));
    QTest::keyClick(m.checkWindow, Qt::Key_Return);
    EXPECT_TRUE(m.repairProgressWindow->isVisible());
    EXPECT_TRUE(waitFor([&] { return !m.repairProgressWindow->isVisible(); }));
    EXPECT_EQ(recorded(), QStringList{"repaircore " + resource("QuorbelCore.app")});
}

TEST_F(RepairTest, TheProgressSheetCannotBeDismissedWhileTheRunLasts)
{
    InstallCheckManager& m = check({coreApp(0775)});
    m.setRepairPause(std::chrono::milliseconds(400));
    ASSERT_FALSE(m.checkForRequiredItems());
    m.checkInstall->click();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m.repairProgressWindow));
    QTest::keyClick(m.repairProgressWindow, Qt::Key_Escape);
    m.repairProgressWindow->close();
    EXPECT_TRUE(m.repairProgressWindow->isVisible()) << "the window must stay blocked until the run hands back";
    ASSERT_TRUE(waitFor([&] { return !m.repairProgressWindow->isVisible(); }));
    EXPECT_EQ(recorded(), QStringList{"repaircore " + resource("QuorbelCore.app")});
    EXPECT_TRUE(m.checkWindow->isVisible());
}

TEST_F(RepairTest, TheExplanationNamesTheKindsOfComponentsFound)
{
    const QString info = text("QuorbelLauncher_RepairInfo");
    const QString components = text("QuorbelLauncher_Components");
    const QString fileSystem = text("QuorbelLauncher_FileSystem");
    const QString helpers = text("QuorbelLauncher_Helpers");
    struct Case {
        const char* what;
        QVariantList items;
        QString expected;
    };
    const QList<Case> cases{
        {"core", {coreApp(0775)}, info + components + helpers + u'\n'},
        {"file system", {missingBundle("QuorbelFS", "FS.pkg")}, info + components + fileSystem + u'\n'},
        {"other bundle", {missingBundle("Other", "Other.pkg")}, info},
        {"both", {missingBundle("QuorbelFS", "FS.pkg"), coreApp(0775)}, info + components + fileSystem + helpers + u'\n'},
    };
    for (const Case& c : cases) {
        InstallCheckManager& m = check(c.items);
        EXPECT_FALSE(m.checkForRequiredItems()) << c.what;
        EXPECT_EQ(m.checkText->text(), c.expected) << c.what;
    }
}

TEST_F(RepairTest, TheUpdateToolIsRepairedFirstEvenWhenListedLast)
{
    InstallCheckManager& m = check({missingTool("one"), coreApp(0775), updateTool()});
    runRepair(m);
    EXPECT_EQ(recorded(), (QStringList{"repair " + resource("updateqb.sig"),
                                       "repairother " + resource("one") + ' ' + resource("one.sig"),
                                       "repaircore " + resource("QuorbelCore.app")}));
    // The tool repaired nothing for real: the window is back with the same findings.
    EXPECT_TRUE(alerts.sheets.empty());
    EXPECT_TRUE(m.checkWindow->isVisible());
    EXPECT_EQ(m.checkText->text(), m.repairExplanation());
    EXPECT_EQ(launches, 0);
}

TEST_F(RepairTest, AFailedRepairStopsTheRunThereAndShowsTheFailureAlertOnTheWindow)
{
    installTool(QStringLiteral("/two "));
    InstallCheckManager& m = check({missingTool("one"), missingTool("two"), missingTool("three")});
    runRepair(m);
    EXPECT_EQ(recorded(), (QStringList{"repairother " + resource("one") + ' ' + resource("one.sig"),
                                       "repairother " + resource("two") + ' ' + resource("two.sig")}));
    ASSERT_EQ(alerts.sheets.size(), 1u);
    EXPECT_EQ(alerts.sheets[0].request.messageText, text("RepairFailedTitle"));
    EXPECT_EQ(alerts.sheets[0].request.informativeText, text("RepairFailed"));
    EXPECT_EQ(alerts.sheets[0].request.buttonTitles, QStringList{text("OK")});
    EXPECT_EQ(alerts.sheets[0].window, m.checkWindow);
    EXPECT_FALSE(m.repairProgressWindow->isVisible());
    EXPECT_EQ(m.repairProgressIndicator->maximum(), 1) << "the indicator must stop";
    EXPECT_TRUE(m.checkWindow->isVisible());
    EXPECT_EQ(launches, 0);

    // Statuses are not re-evaluated: a second run repeats what the first did.
    runRepair(m);
    EXPECT_EQ(recorded().size(), 4);
    EXPECT_EQ(alerts.sheets.size(), 2u);
}

TEST_F(RepairTest, AfterADelayTheSheetOffersToStopAHungToolAndTheRunFails)
{
    installTool(QString(), QStringLiteral("case \"$*\" in *'/two '*) exec sleep 60;; esac"));
    InstallCheckManager& m = check({missingTool("one"), missingTool("two"), missingTool("three")});
    m.setStopButtonDelay(std::chrono::milliseconds(200));
    ASSERT_FALSE(m.checkForRequiredItems());
    QElapsedTimer timer;
    timer.start();
    m.checkInstall->click();
    // A sheet lies inside its window, centred on it.
    EXPECT_TRUE(m.checkWindow->geometry().contains(m.repairProgressWindow->frameGeometry()));
    EXPECT_LE((m.repairProgressWindow->frameGeometry().center() - m.checkWindow->frameGeometry().center()).manhattanLength(),
              2);
    EXPECT_FALSE(m.repairStopButton->isVisible());
    ASSERT_TRUE(waitFor([&] { return m.repairStopButton->isVisible() && recorded().size() == 2; }));
    EXPECT_EQ(m.repairStopButton->text(), QStringLiteral("Stop"));
    m.repairStopButton->click();
    ASSERT_TRUE(waitFor([&] { return !m.repairProgressWindow->isVisible(); })) << "the run never handed back";
    EXPECT_LT(timer.elapsed(), 30000);
    EXPECT_EQ(recorded().size(), 2) << "the run must stop at the stopped tool";
    ASSERT_EQ(alerts.sheets.size(), 1u);
    EXPECT_EQ(alerts.sheets[0].request.messageText, text("RepairFailedTitle"));
    EXPECT_FALSE(m.repairStopButton->isVisible());
}

// A word-wrapped label shows all of its text when its height is what its width asks.
void expectWholeLabel(const QLabel* label)
{
    EXPECT_GE(label->height(), label->heightForWidth(label->width())) << label->text().toStdString();
    EXPECT_TRUE(label->parentWidget()->rect().contains(label->geometry()));
}

TEST_F(RepairTest, TheWindowAndTheProgressSheetGrowWithTheirTextsAndKeepTheirSizeFixed)
{
    // Both components' sentences: the longest English text, and 40% more as translations run.
    InstallCheckManager& m = check({missingBundle("QuorbelFS", "FS.pkg"), coreApp(0775)});
    ASSERT_FALSE(m.checkForRequiredItems());
    m.repairProgressWindow->show();
    m.repairStopButton->show();
    struct Case {
        QLabel* label;
        QWidget* window;
    };
    for (const Case& c : {Case{m.checkText, m.checkWindow}, Case{m.repairProgressText, m.repairProgressWindow}}) {
        const QString english = c.label->text();
        for (const QString& text : {english, english + u' ' + english.left(english.size() * 2 / 5)}) {
            c.label->setText(text);
            QTest::qWait(20);
            expectWholeLabel(c.label);
            EXPECT_EQ(c.window->minimumSize(), c.window->maximumSize()) << "resizable";
        }
    }
    m.repairProgressWindow->hide();
}

TEST_F(RepairTest, ItemsInOrderNotRequiredOrWithoutInstallerArePassedOverAndTheWindowReturns)
{
    environment.set("QUORBEL_SYSTEM_VERSION", QStringLiteral("10.4.11"));
    InstallCheckManager& m = check({
        coreApp(0755),
        item("FinderOverlayInsert", "Overlay",
             {{kInstallPath, "/nowhere/Overlay.bundle"}, {kMinMacOSXVersion, "10.4"}, {kResource, "Overlay.zip"}}),
        item("QBToolRoot", "rooty", {{kInstallPath, "/nowhere/rooty"}, {kMinMacOSXVersion, "10.4"}}),
        missingBundle("Other"),
        item("Framework", "Growl", {{kInstallPath, "/nowhere/Growl.framework"}, {kInstaller, "Growl.pkg"}}),
    });
    ASSERT_FALSE(m.checkForRequiredItems());
    ASSERT_EQ(m.statuses(), (QStringList{"OK", "Not Required", "Not Required", "Missing", "OK"}));
    const QString explanation = m.checkText->text();
    for (int run = 0; run < 2; ++run) {
        runRepair(m);
        EXPECT_TRUE(recorded().isEmpty()) << recorded().join(u'|').toStdString();
        EXPECT_TRUE(alerts.sheets.empty());
        EXPECT_TRUE(m.checkWindow->isVisible());
        EXPECT_EQ(m.checkText->text(), explanation);
    }
    EXPECT_EQ(launches, 0);
}

TEST_F(RepairTest, EachRepairActsOnlyOnTheStatusesItCanMend)
{
    InstallCheckManager& m = check({});
    const QVariantMap tool = missingTool("one");
    const QVariantMap rootTool = item("QBToolRoot", "rooty", {{kResource, "rooty"}, {kSignature, "rooty.sig"}});
    const QVariantMap framework = item("Framework", "Growl", {{kInstaller, "Growl.pkg"}});
    const QVariantMap bundle = missingBundle("Other", "Other.pkg");
    const QVariantMap zip = item(
        "FinderCM", "Menu",
        {{kResource, "Menu.zip"}, {kSignature, "Menu.sig"}, {kInstallPath, "/Library/Contextual Menu Items/Menu.plugin"}});
    const QVariantMap core = item("CoreApp", "QuorbelCore", {{kResource, "QuorbelCore.app"}});
    using S = InstallCheckManager;
    struct Case {
        const char* what;
        std::function<bool()> repair;
        bool answer;
        QString command; // "" when nothing may run
    };
    const QList<Case> cases{
        {"tool missing", [&] { return m.repairQBTool(tool, S::statusMissing()); }, true,
         "repairother " + resource("one") + ' ' + resource("one.sig")},
        {"tool permissions", [&] { return m.repairQBTool(tool, S::statusWrongPermissions()); }, true,
         "repairpermissionsother one"},
        {"tool in order", [&] { return m.repairQBTool(tool, S::statusOK()); }, false, ""},
        {"root tool permissions", [&] { return m.repairQBToolRoot(rootTool, S::statusWrongPermissions()); }, true,
         "repairpermissionsotherroot rooty"},
        {"root tool invalid", [&] { return m.repairQBToolRoot(rootTool, S::statusInvalid()); }, false, ""},
        {"framework old", [&] { return m.repairFramework(framework, S::statusOldVersion()); }, true,
         "repairpackage " + resource("Growl.pkg")},
        {"framework in order", [&] { return m.repairFramework(framework, S::statusOK()); }, false, ""},
        {"bundle missing", [&] { return m.repairBundle(bundle, S::statusMissing()); }, true,
         "repairpackage " + resource("Other.pkg")},
        {"bundle invalid", [&] { return m.repairBundle(bundle, S::statusInvalid()); }, false, ""},
        {"zip missing", [&] { return m.repairZIPArchiveItem(zip, S::statusMissing()); }, true,
         "repairzipitem " + resource("Menu.zip") + ' ' + resource("Menu.sig") + " /Library/Contextual Menu Items/Menu.plugin"},
        {"zip invalid", [&] { return m.repairZIPArchiveItem(zip, S::statusInvalid()); }, true, ""},
        {"core permissions", [&] { return m.repairCoreApp(core, S::statusWrongPermissions()); }, true,
         "repaircore " + resource("QuorbelCore.app")},
        {"core in order", [&] { return m.repairCoreApp(core, S::statusOK()); }, true, ""},
    };
    for (const Case& c : cases) {
        QFile::remove(record());
        EXPECT_EQ(c.repair(), c.answer) << c.what;
        EXPECT_EQ(recorded(), c.command.isEmpty() ? QStringList() : QStringList{c.command}) << c.what;
    }
    installTool(QStringLiteral("repaircore"));
    EXPECT_FALSE(m.repairCoreApp(core, S::statusWrongPermissions())) << "a failed tool run is a failed repair";
}

TEST_F(RepairTest, IntelFixesFollowEveryRunOn105Only)
{
    for (const char* version : {"10.5.8", "10.6.8"}) {
        QFile::remove(record());
        environment.set("QUORBEL_SYSTEM_VERSION", QString::fromLatin1(version));
        InstallCheckManager& m = check({coreApp(0775)});
        EXPECT_EQ(m.areIntel_10_5FixesRequired(), QByteArray(version).startsWith("10.5"));
        runRepair(m);
        const QString fixes = "repairintel10_5 " + resource("Fixes10_5.zip") + ' ' + resource("Fixes10_5.plist");
        EXPECT_EQ(recorded().contains(fixes), QByteArray(version).startsWith("10.5")) << version;
        EXPECT_EQ(recorded().value(0), "repaircore " + resource("QuorbelCore.app")) << version;
    }
}

TEST_F(RepairTest, AfterASuccessfulRunTheCheckPassesAndTheCoreStarts)
{
    installTool(QString(), QStringLiteral("[ \"$1\" = repaircore ] && chmod 755 \"$2\""));
    InstallCheckManager& m = check({coreApp(0775)});
    runRepair(m);
    EXPECT_EQ(launches, 1);
    EXPECT_TRUE(alerts.sheets.empty());
    EXPECT_TRUE(log.contains(QStringLiteral("Repair run succeeded")));
}

TEST_F(RepairTest, StartingTheCoreChecksOnceMoreAndReportsOnTheWindowWhenItCannot)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    InstallCheckManager& m = check({coreApp(0775)});
    ASSERT_FALSE(m.checkForRequiredItems());
    alerts.holdSheets = true;
    EXPECT_FALSE(m.runQuorbel());
    EXPECT_EQ(launches, 0);
    ASSERT_EQ(alerts.sheets.size(), 1u);
    EXPECT_EQ(alerts.sheets[0].request.messageText, text("RunFailedTitle"));
    EXPECT_EQ(alerts.sheets[0].request.informativeText, text("RepairFailed"));
    EXPECT_EQ(alerts.sheets[0].window, m.checkWindow);
    EXPECT_FALSE(platform::application::isTerminating()) << "the alert must stay readable";
    // Once it is read the launcher ends: nothing is left for it to do.
    ASSERT_EQ(alerts.held.size(), 1u);
    EXPECT_EXIT(
        {
            alerts.held.front()({0, false});
            std::_Exit(platform::application::exec());
        },
        ::testing::ExitedWithCode(ExitStatus::kCannotLaunch), "");

    coreApp(0755);
    EXPECT_TRUE(m.runQuorbel());
    EXPECT_EQ(launches, 1);
}

TEST_F(RepairTest, QuitButtonEndsTheProcessAtOnceWithStatusZero)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    InstallCheckManager& m = check({coreApp(0775)});
    ASSERT_FALSE(m.checkForRequiredItems());
    EXPECT_EXIT(m.checkDontInstall->click(), ::testing::ExitedWithCode(0), "");
}

TEST_F(RepairTest, ClosingTheWindowEndsTheApplication)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    InstallCheckManager& m = check({coreApp(0775)});
    ASSERT_FALSE(m.checkForRequiredItems());
    EXPECT_EXIT(
        {
            QTimer::singleShot(0, m.checkWindow, [&m] { m.checkWindow->close(); });
            QTimer::singleShot(5000, [] { std::_Exit(3); }); // the window's close did not end the run
            QApplication::exec();
            std::_Exit(platform::application::isTerminating() ? 0 : 2);
        },
        ::testing::ExitedWithCode(0), "");
}

// Each refusal keeps the general text and adds, after a blank line, what the
// user can do about it; a failure that is no refusal adds nothing.
TEST_F(RepairTest, TheFailureSheetSaysWhyNoRightsCame)
{
    const struct {
        const char* name;
        int32_t rights;
        const char* reasonKey; // null: no reason line
    } cases[] = {
        {"dismissed", platform::errAuthorizationCanceled, "RepairReasonCancelled"},
        {"not authorised", platform::errAuthorizationDenied, "RepairReasonNotAuthorized"},
        {"no prompt", platform::errAuthorizationInteractionNotAllowed, "RepairReasonNoPrompt"},
        {"pkexec failed", platform::errAuthorizationToolExecuteFailure, nullptr},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        alerts.sheets.clear();
        authorization.rights = test.rights;
        InstallCheckManager& m = check({coreApp(0775), updateTool()});
        runRepair(m);
        ASSERT_EQ(alerts.sheets.size(), 1u);
        EXPECT_EQ(alerts.sheets[0].request.messageText, text("RepairFailedTitle"));
        const QString expected = test.reasonKey ? text("RepairFailed") + QStringLiteral("\n\n") + text(test.reasonKey)
                                                : text("RepairFailed");
        EXPECT_EQ(alerts.sheets[0].request.informativeText, expected);
        EXPECT_TRUE(recorded().isEmpty()) << "nothing may run without the rights";
    }
}

// The system's prompt may be an ordinary window: while rights are asked for the
// check window is not above it, and it is again once the run is over.
TEST_F(RepairTest, TheWindowIsNotAboveOthersWhileRightsAreAskedFor)
{
    InstallCheckManager& m = check({coreApp(0775), updateTool()});
    ASSERT_FALSE(m.checkForRequiredItems());
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m.checkWindow));
    authorization.window = m.checkWindow;
    authorization.topLevelWhileAsking = true;
    runRepair(m);
    EXPECT_FALSE(authorization.topLevelWhileAsking.load());
    EXPECT_TRUE(m.checkWindow->isVisible());
    EXPECT_TRUE(m.checkWindow->windowHandle()->flags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(m.checkWindow->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
}
