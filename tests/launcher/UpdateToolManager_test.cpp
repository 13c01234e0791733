#include "UpdateToolManager.h"

#include "Authorization.h"
#include "Finder.h"
#include "QtPrinters.h"
#include "SystemLocations.h"
#include "TestSupport.h"
#include "Workspace.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace testing_support;

namespace {

const QString kToolFolder = QStringLiteral("/Library/Application Support/Quorbel");

// A stand-in for a tool: records its argument vector (NUL-separated) and exits with `exitStatus`.
QString makeRecordingTool(const QString& path, const QString& record, int exitStatus)
{
    return makeScript(
        path, QStringLiteral("for a in \"$@\"; do printf '%s\\0' \"$a\"; done > '%1'\nexit %2").arg(record).arg(exitStatus));
}

QStringList recordedArguments(const QString& record)
{
    QStringList arguments;
    const QList<QByteArray> words = readFile(record).split('\0');
    for (qsizetype i = 0; i + 1 < words.size(); ++i)
        arguments.append(QString::fromUtf8(words.at(i)));
    return arguments;
}

bool setOwnerAndMode(const QString& path, const char* owner, mode_t mode)
{
    const QByteArray native = QFile::encodeName(path);
    if (owner && ::geteuid() == 0) {
        const QByteArray command = "chown " + QByteArray(owner) + " '" + native + "'";
        if (std::system(command.constData()) != 0)
            return false;
    }
    return ::chmod(native.constData(), mode) == 0;
}

class UpdateToolTest : public ::testing::Test {
protected:
    QString toolPath(const QString& name) const { return home.systemRoot() + kToolFolder + u'/' + name; }
    QString record() const { return home.path(QStringLiteral("argv")); }
    void installUpdateTool(int exitStatus)
    {
        makeRecordingTool(toolPath(QStringLiteral("updateqb")), record(), exitStatus);
    }

    ScratchHome home;
    LogCapture log;
    UpdateToolManager manager;
};

} // namespace

TEST_F(UpdateToolTest, VerifyJudgesOwnerAndAllTwelveModeBitsOfTheInstalledTool)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to make files owned by root and by another user";
    EXPECT_EQ(manager.status(), UpdateToolManager::kStatusNothingDoneYet);
    EXPECT_EQ(manager.verifyUpdateTool(QStringLiteral("updateqb")), 1);
    EXPECT_EQ(manager.status(), 1);

    installUpdateTool(0);
    const QString tool = toolPath(QStringLiteral("updateqb"));
    struct Case {
        const char* owner;
        mode_t mode;
        int32_t expected;
    } cases[] = {{"root", 04755, 0}, {"root", 0755, 2}, {"root", 04775, 2}, {"root", 06755, 2}, {"nobody", 04755, 2}};
    for (const Case& c : cases) {
        ASSERT_TRUE(setOwnerAndMode(tool, c.owner, c.mode));
        EXPECT_EQ(manager.verifyUpdateTool(QStringLiteral("updateqb")), c.expected) << c.owner << ' ' << std::oct << c.mode;
        EXPECT_EQ(manager.status(), c.expected);
    }
    // A link is judged as a link, whatever it points at.
    ASSERT_TRUE(setOwnerAndMode(tool, "root", 04755));
    ASSERT_TRUE(QFile::link(tool, toolPath(QStringLiteral("linked"))));
    EXPECT_EQ(manager.verifyUpdateTool(QStringLiteral("linked")), 2);
}

TEST_F(UpdateToolTest, EveryCommandPassesItsExactArgumentVectorToTheInstalledTool)
{
    const QString zip = QStringLiteral("/res/Fixes 10_5.zip"); // a blank survives: no shell between
    struct Command {
        const char* name;
        std::function<int32_t(UpdateToolManager&)> run;
        QStringList argv;
    };
    const QString home_ = platform::locations::homeFolder();
    const QList<Command> commands{
        {"repaircore",
         [](auto& m) { return m.repairCoreAppPermissions("/res/QuorbelCore.app"); },
         {"repaircore", "/res/QuorbelCore.app"}},
        {"repairother",
         [](auto& m) { return m.repairQBTool("/res/qbtool", "/res/qbtool.sig"); },
         {"repairother", "/res/qbtool", "/res/qbtool.sig"}},
        {"repairpermissionsother",
         [](auto& m) { return m.repairQBToolPermissions("qbtool"); },
         {"repairpermissionsother", "qbtool"}},
        {"repairpackage bundle",
         [](auto& m) { return m.repairBundleUsingPackage("/res/FS.pkg"); },
         {"repairpackage", "/res/FS.pkg"}},
        {"repairpackage framework",
         [](auto& m) { return m.repairFrameworkUsingPackage("/res/Growl.pkg"); },
         {"repairpackage", "/res/Growl.pkg"}},
        {"repairpermissionsotherroot",
         [](auto& m) { return m.repairQBToolRootPermissions("rooty"); },
         {"repairpermissionsotherroot", "rooty"}},
        {"repairzipitem",
         [](auto& m) { return m.repairZIPArchive("/res/cm.zip", "/res/cm.sig", "/Library/X/cm.plugin"); },
         {"repairzipitem", "/res/cm.zip", "/res/cm.sig", "/Library/X/cm.plugin"}},
        {"repairintel10_5",
         [&](auto& m) { return m.repairIntel10_5(zip, "/res/Fixes10_5.plist"); },
         {"repairintel10_5", zip, "/res/Fixes10_5.plist"}},
        {"applyfullupdate",
         [](auto& m) { return m.installClientUpdate("/u.zip", "/u.sig", "/Applications/Q.app"); },
         {"applyfullupdate", "/u.zip", "/u.sig", "/Applications/Q.app"}},
        {"fixmonokeypairs",
         [](auto& m) { return m.repairMonoKeypairPermissions(); },
         {"fixmonokeypairs", home_ + "/.config/.mono/keypairs"}},
    };
    for (const Command& command : commands) {
        SCOPED_TRACE(command.name);
        for (int exitStatus : {0, 3}) {
            QFile::remove(record());
            installUpdateTool(exitStatus);
            const int32_t result = command.run(manager);
            EXPECT_EQ(recordedArguments(record()), command.argv);
            EXPECT_EQ(result, exitStatus == 0 ? 0 : 4);
            // The key-pair repair leaves its status at 5 whatever happens.
            const bool keepsRepairStatus = QLatin1String(command.name) == QLatin1String("fixmonokeypairs");
            EXPECT_EQ(manager.status(), exitStatus == 0 && !keepsRepairStatus ? 0 : 5);
        }
    }
    const QString tool = toolPath(QStringLiteral("updateqb"));
    EXPECT_TRUE(log.contains(QStringLiteral("UpdateToolManager:runExe: Running \"%1\"...").arg(tool)));
    EXPECT_TRUE(log.contains(QStringLiteral("UpdateToolManager:runExe: Succeeded running \"%1\"").arg(tool)));
    EXPECT_TRUE(log.contains(QStringLiteral("UpdateToolManager:runExe: Failed running \"%1\"").arg(tool)));
}

TEST_F(UpdateToolTest, AMissingOrUnstartableToolIsAFailedRunNotACrash)
{
    const QString tool = toolPath(QStringLiteral("updateqb"));
    EXPECT_EQ(manager.repairQBToolPermissions(QStringLiteral("x")), 4);
    EXPECT_EQ(manager.status(), 5);
    const QStringList messages = log.messages();
    ASSERT_EQ(messages.size(), 3);
    EXPECT_TRUE(
        messages.at(1).startsWith(QStringLiteral("UpdateToolManager:runExe: Exception during running \"%1\" (").arg(tool)))
        << messages.at(1).toStdString();
    EXPECT_EQ(messages.at(2), QStringLiteral("UpdateToolManager:runExe: Failed running \"%1\"").arg(tool));

    writeFile(tool, "not executable", 0644);
    EXPECT_EQ(manager.repairCoreAppPermissions(QStringLiteral("/c")), 4);
    // A tool killed by a signal did not succeed.
    makeScript(tool, QStringLiteral("kill -KILL $$"));
    EXPECT_EQ(manager.repairCoreAppPermissions(QStringLiteral("/c")), 4);
}

namespace {

class RecordingAuthorization final : public platform::AuthorizationService {
public:
    struct Session final : platform::AuthorizationSession {
        explicit Session(RecordingAuthorization* owner) : owner(owner) {}
        int32_t copyAdminRights() override
        {
            if (owner->duringPrompt)
                owner->duringPrompt();
            return owner->rightsStatus;
        }
        int32_t perform(const QStringList& request, platform::PrivilegedOutcome* outcome) override
        {
            owner->executed.append(request);
            outcome->done = owner->executeStatus == platform::errAuthorizationSuccess;
            outcome->waitStatus = W_EXITCODE(owner->exitCode, 0);
            outcome->timedOut = owner->timedOut;
            return owner->executeStatus;
        }
        RecordingAuthorization* owner;
    };
    std::unique_ptr<platform::AuthorizationSession> createSession(int32_t* status) override
    {
        *status = createStatus;
        return createStatus == platform::errAuthorizationSuccess ? std::make_unique<Session>(this) : nullptr;
    }

    int32_t createStatus = platform::errAuthorizationSuccess;
    int32_t rightsStatus = platform::errAuthorizationSuccess;
    int32_t executeStatus = platform::errAuthorizationSuccess;
    QList<QStringList> executed;
    int exitCode = 0;
    bool timedOut = false;
    std::function<void()> duringPrompt;
};

class PrivilegedRunTest : public UpdateToolTest {
protected:
    void SetUp() override { platform::AuthorizationService::setShared(&authorization); }
    void TearDown() override { platform::AuthorizationService::setShared(nullptr); }
    RecordingAuthorization authorization;
};

} // namespace

TEST_F(PrivilegedRunTest, RepairUpdateToolRunsTheCarriedToolWithRepairAndTheSignatureOnly)
{
    EXPECT_EQ(manager.repairUpdateTool(QStringLiteral("/res/updateqb"), QStringLiteral("/res/updateqb.sig")), 0);
    EXPECT_EQ(authorization.executed,
              (QList<QStringList>{{"updatetool", "300", "repair", "/res/updateqb", "/res/updateqb.sig"}}));
    EXPECT_EQ(manager.status(), 0);
    EXPECT_EQ(log.messages(),
              (QStringList{"UpdateToolManager:runUninstalledUpdateToolAsAdmin: Starting...", "Running /res/updateqb",
                           "UpdateToolManager:runUninstalledUpdateToolAsAdmin: Succeeded"}));

    EXPECT_EQ(manager.repairPermissions(), 0);
    EXPECT_EQ(authorization.executed.last(), (QStringList{"updatetool", "300", "repairpermissions"}));
    EXPECT_TRUE(log.contains("UpdateToolManager:runUpdateToolAsAdmin: Succeeded"));
}

TEST_F(PrivilegedRunTest, ThePrivilegedRunSucceedsOnlyWhenTheToolDid)
{
    authorization.exitCode = 3;
    EXPECT_EQ(manager.repairPermissions(), 4);
    EXPECT_EQ(manager.status(), 4);
    EXPECT_FALSE(log.contains("UpdateToolManager:runUpdateToolAsAdmin: Succeeded"));

    authorization.exitCode = 0;
    authorization.timedOut = true;
    EXPECT_EQ(manager.repairUpdateTool("/res/updateqb", "/res/updateqb.sig"), 4);
    EXPECT_TRUE(log.contains(
        "UpdateToolManager:runUninstalledUpdateToolAsAdmin: \"/res/updateqb\" did not end within 300 seconds; stopped it"));
}

TEST_F(PrivilegedRunTest, CancelRefusalAndExecuteFailuresAreFailedRunsWithTheirStatusCodes)
{
    authorization.rightsStatus = platform::errAuthorizationCanceled;
    EXPECT_EQ(manager.repairUpdateTool("/res/updateqb", "/res/updateqb.sig"), 4);
    EXPECT_EQ(manager.status(), 5); // authorization was not obtained
    EXPECT_TRUE(authorization.executed.isEmpty());
    EXPECT_TRUE(
        log.contains("UpdateToolManager:runUninstalledUpdateToolAsAdmin: AuthorizationCopyRights failed (OSStatus -60006)"));

    authorization.rightsStatus = platform::errAuthorizationDenied;
    EXPECT_EQ(manager.repairPermissions(), 4);
    EXPECT_TRUE(log.contains("UpdateToolManager:runUpdateToolAsAdmin: AuthorizationCopyRights failed (OSStatus -60005)"));

    authorization.rightsStatus = platform::errAuthorizationSuccess;
    authorization.executeStatus = platform::errAuthorizationToolExecuteFailure;
    EXPECT_EQ(manager.repairPermissions(), 4);
    EXPECT_EQ(manager.status(), 4);
    EXPECT_TRUE(
        log.contains("UpdateToolManager:runUpdateToolAsAdmin: AuthorizationExecuteWithPrivileges failed (OSStatus -60031)"));

    // No session at all: a failed run, nothing logged beyond the start.
    authorization.createStatus = platform::errAuthorizationInternal;
    const qsizetype before = log.messages().size();
    EXPECT_EQ(manager.repairPermissions(), 4);
    EXPECT_EQ(manager.status(), 5);
    EXPECT_EQ(log.messages().mid(before), QStringList{"UpdateToolManager:runUpdateToolAsAdmin: Starting..."});
}

TEST_F(UpdateToolTest, AsRootAToolSomeoneElseCanWriteIsNeverRun)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "the rule is for a launcher running as root";
    // The installed tool, owned by an ordinary user or writable by all.
    const QString tool = makeRecordingTool(toolPath("updateqb"), record(), 0);
    for (const auto& [mode, owner] : {std::pair{04755, 65534}, std::pair{04777, 0}}) {
        ASSERT_EQ(::chown(QFile::encodeName(tool).constData(), uid_t(owner), 0), 0);
        ASSERT_EQ(::chmod(QFile::encodeName(tool).constData(), mode_t(mode)), 0);
        EXPECT_EQ(manager.repairQBTool(QStringLiteral("/a"), QStringLiteral("/b")), 4);
        EXPECT_TRUE(recordedArguments(record()).isEmpty());
    }
    ASSERT_EQ(::chown(QFile::encodeName(tool).constData(), 0, 0), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(tool).constData(), 04755), 0);
    EXPECT_EQ(manager.repairQBTool(QStringLiteral("/a"), QStringLiteral("/b")), 0);
    EXPECT_EQ(recordedArguments(record()), (QStringList{"repairother", "/a", "/b"}));

    // The Finder overlay tool beside it, likewise.
    QFile::remove(record());
    const QString overlay = makeRecordingTool(toolPath("finderoverlaytool"), record(), 0);
    ASSERT_EQ(::chown(QFile::encodeName(overlay).constData(), 65534, 0), 0);
    EXPECT_EQ(manager.insertFinderOverlayBundle(), 4);
    EXPECT_TRUE(recordedArguments(record()).isEmpty());
}

TEST_F(UpdateToolTest, AHungToolIsEndedAtTheTimeLimitAndFails)
{
    const QString tool = makeScript(toolPath("updateqb"), QStringLiteral("exec sleep 60"));
    manager.setRepairTimeLimit(1);
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(manager.repairQBTool(QStringLiteral("/a"), QStringLiteral("/b")), 4);
    EXPECT_LT(timer.elapsed(), 20000);
    EXPECT_TRUE(
        log.contains(QStringLiteral("UpdateToolManager:runExe: \"%1\" did not end within 1 seconds; stopped it").arg(tool)));
    manager.setRepairTimeLimit(UpdateToolManager::kRepairTimeLimitSeconds);
}

TEST_F(UpdateToolTest, FileSystemPackageRepairKeepsTheInstallerLogWhateverTheRunGave)
{
    const QString installerLog = home.systemRoot() + QStringLiteral("/tmp/.macfuse-install.log");
    const QString copy = home.home() + QStringLiteral("/Library/Logs/Quorbel/MacFUSE/macfuse-install.log");

    installUpdateTool(0);
    EXPECT_EQ(manager.repairFrameworkUsingPackage("/res/macfuse-2.pkg"), 0);
    EXPECT_TRUE(log.contains(QStringLiteral("\"%1\" doesn't exists - no MacFUSE log will be available").arg(installerLog)));
    EXPECT_FALSE(QFileInfo::exists(copy));

    writeFile(installerLog, "installer said things\n");
    installUpdateTool(1);
    EXPECT_EQ(manager.repairFrameworkUsingPackage("/res/macfuse-2.pkg"), 4); // the copy does not change it
    EXPECT_EQ(readFile(copy), "installer said things\n");
    EXPECT_TRUE(log.contains(QStringLiteral("Copied \"%1\" to \"%2\" - MacFUSE log available").arg(installerLog, copy)));

    // An earlier copy is not replaced.
    writeFile(installerLog, "a later install\n");
    installUpdateTool(0);
    EXPECT_EQ(manager.repairFrameworkUsingPackage("/res/MacFUSE.pkg"), 0);
    EXPECT_EQ(readFile(copy), "installer said things\n");
    const QString failure = QStringLiteral("Failed to copy \"%1\" to \"%2\" (").arg(installerLog, copy);
    EXPECT_TRUE(log.lines().filter(failure).size() == 1);

    // Other packages leave the log alone.
    QFile::remove(copy);
    EXPECT_EQ(manager.repairFrameworkUsingPackage("/res/Growl.pkg"), 0);
    EXPECT_FALSE(QFileInfo::exists(copy));
}

TEST_F(UpdateToolTest, AnUncreatableLogFolderIsLoggedAndTheResultStands)
{
    writeFile(home.systemRoot() + QStringLiteral("/tmp/.macfuse-install.log"), "log\n");
    writeFile(home.home() + QStringLiteral("/Library/Logs/Quorbel"), "a file where a folder belongs");
    installUpdateTool(0);
    EXPECT_EQ(manager.repairFrameworkUsingPackage("/res/MacFUSE.pkg"), 0);
    EXPECT_EQ(manager.status(), 0);
    EXPECT_FALSE(log.lines().filter(QStringLiteral("NSGenericException (Failed to create")).isEmpty());
}

namespace {

// Finder in the scratch tree: a bundle with Finder's identifier whose
// executable is a copy of the sample core.
class FinderRestartTest : public UpdateToolTest {
protected:
    void SetUp() override
    {
        installUpdateTool(0);
        finder = makeBundle(platform::finder::applicationPath(),
                            {{"CFBundleIdentifier", "com.apple.finder"}, {"CFBundleExecutable", "Finder"}});
        executable = finder + QStringLiteral("/Contents/MacOS/Finder");
        ASSERT_TRUE(QFile::copy(QStringLiteral(QB_CORE_EXECUTABLE), executable));
    }
    void TearDown() override
    {
        for (const auto& app : platform::workspace::launchedApplications()) {
            if (app.bundlePath == finder)
                ::kill(pid_t(app.pid), SIGKILL);
        }
    }
    void startFinder()
    {
        QProcess::startDetached(executable, {"--keep-running"});
        QDeadlineTimer limit(5000);
        while (startedLines() == 0 && !limit.hasExpired())
            QThread::msleep(10);
    }
    // A Finder process that ignores the request to quit.
    qint64 startStubbornFinder()
    {
        const QString stubborn = finder + QStringLiteral("/Contents/MacOS/Stubborn");
        QFile::copy(QStringLiteral("/bin/sleep"), stubborn);
        qint64 pid = 0;
        QProcess::startDetached(QStringLiteral("/bin/sh"),
                                {"-c", QStringLiteral("trap '' TERM; exec '%1' 30").arg(stubborn)}, {}, &pid);
        QDeadlineTimer limit(5000);
        while (!isApplicationRunning(QStringLiteral("com.apple.finder")) && !limit.hasExpired())
            QThread::msleep(10);
        return pid;
    }
    int startedLines() const
    {
        const QString coreLog = home.home() + QStringLiteral("/Library/Logs/Quorbel/QuorbelCore/QuorbelCore.log");
        return int(QString::fromUtf8(readFile(coreLog)).count(QStringLiteral("QuorbelCore started")));
    }

    QString finder;
    QString executable;
};

} // namespace

TEST_F(FinderRestartTest, ARunningFinderIsQuitAndStartedAgain)
{
    startFinder();
    ASSERT_EQ(startedLines(), 1);
    EXPECT_EQ(manager.repairQBToolRoot("/res/rooty", "/res/rooty.sig"), 0);
    EXPECT_EQ(recordedArguments(record()), (QStringList{"repairotherroot", "/res/rooty", "/res/rooty.sig"}));
    EXPECT_EQ(manager.status(), 0);
    QDeadlineTimer limit(5000);
    while (startedLines() < 2 && !limit.hasExpired())
        QThread::msleep(10);
    EXPECT_EQ(startedLines(), 2);
    EXPECT_TRUE(log.contains(QStringLiteral("Launching \"%1\"...").arg(finder)));
    EXPECT_TRUE(log.contains(QStringLiteral("Launched \"%1\"").arg(finder)));
}

TEST_F(FinderRestartTest, AFinderThatDoesNotQuitInTimeIsStartedAnyway)
{
    const qint64 stubborn = startStubbornFinder();
    ASSERT_TRUE(isApplicationRunning(QStringLiteral("com.apple.finder")));
    int pauses = 0;
    manager.setSleepFunction([&](double) { ++pauses; });
    EXPECT_EQ(manager.repairQBToolRoot("/res/rooty", "/res/rooty.sig"), 0);
    EXPECT_GT(pauses, 0);
    EXPECT_TRUE(log.contains(QStringLiteral("Didn't see Finder restart - continue anyway")));
    EXPECT_TRUE(log.contains(QStringLiteral("Launched \"%1\"").arg(finder)));
    ::kill(pid_t(stubborn), SIGKILL);
}

TEST_F(FinderRestartTest, ARefusedQuitOrAFailedStartIsResultFive)
{
    manager.setQuitApplicationFunction([](const QString&, bool, double) -> QBErrorResult {
        return QBError::clientError(-2, "quitApplication failed", "Request to quit failed");
    });
    EXPECT_EQ(manager.repairQBToolRoot("/res/rooty", "/res/rooty.sig"), 5);
    EXPECT_EQ(manager.status(), 5);
    EXPECT_TRUE(log.contains("repairQBToolRoot failed (\"quitApplication failed\" because \"Request to quit failed\")"));
    EXPECT_FALSE(log.contains(QStringLiteral("Launching \"%1\"...").arg(finder)));

    manager.setQuitApplicationFunction(nullptr);
    ASSERT_TRUE(QFile::remove(executable));
    EXPECT_EQ(manager.repairQBToolRoot("/res/rooty", "/res/rooty.sig"), 5);
    EXPECT_TRUE(log.contains(QStringLiteral("repairQBToolRoot failed (\"launchApplication failed\" because "
                                            "\"launchApplication \"%1\" failed\")")
                                 .arg(finder)));
}

TEST_F(FinderRestartTest, AFailedToolRunLeavesFinderAlone)
{
    installUpdateTool(1);
    bool askedToQuit = false;
    manager.setQuitApplicationFunction([&](const QString&, bool, double) -> QBErrorResult {
        askedToQuit = true;
        return std::nullopt;
    });
    EXPECT_EQ(manager.repairQBToolRoot("/res/rooty", "/res/rooty.sig"), 4);
    EXPECT_FALSE(askedToQuit);
}

TEST_F(UpdateToolTest, WithoutAnyFileManagerRunningTheRootToolRepairSucceeds)
{
    installUpdateTool(0);
    EXPECT_EQ(manager.repairQBToolRoot("/res/rooty", "/res/rooty.sig"), 0);
    EXPECT_EQ(manager.status(), 0);
    const QString finder = platform::finder::applicationPath();
    EXPECT_TRUE(
        log.contains(QStringLiteral("Not requesting app with id \"com.apple.finder\" to quit because it isn't running")));
    EXPECT_TRUE(log.contains(QStringLiteral("No file manager was running; nothing to start for \"%1\"").arg(finder)));
    EXPECT_TRUE(log.contains(QStringLiteral("Launched \"%1\"").arg(finder)));
}

TEST_F(UpdateToolTest, FinderOverlayToolInsertsAndReportsItsOutcome)
{
    const QString tool = toolPath(QStringLiteral("finderoverlaytool"));
    EXPECT_EQ(manager.insertFinderOverlayBundle(), 4); // absent: a failure, not a crash
    EXPECT_EQ(manager.status(), 5);
    EXPECT_TRUE(log.contains(QStringLiteral("FinderOverlayTool \"%1\" did fail").arg(tool)));

    makeRecordingTool(tool, record(), 0);
    EXPECT_EQ(manager.insertFinderOverlayBundle(), 0);
    EXPECT_EQ(recordedArguments(record()), QStringList{"insertfinderoverlay"});
    EXPECT_EQ(manager.status(), 0);
    EXPECT_TRUE(log.contains(QStringLiteral("Running FinderOverlayTool \"%1\"...").arg(tool)));
    EXPECT_TRUE(log.contains(QStringLiteral("FinderOverlayTool \"%1\" did succeed").arg(tool)));

    makeRecordingTool(tool, record(), 2);
    EXPECT_EQ(manager.insertFinderOverlayBundle(), 4);
    EXPECT_EQ(manager.status(), 5);
}

// What the run's failure tells the user depends on why no rights came; Stop
// pressed while the prompt waits ends the run before anything is asked of the helper.
TEST_F(PrivilegedRunTest, EveryRefusalIsKeptForTheUserAndStopEndsAWaitForThePrompt)
{
    using Refusal = UpdateToolManager::Refusal;
    const struct {
        const char* name;
        int32_t rights;
        bool stopDuringPrompt;
        Refusal expected;
    } cases[] = {
        {"dismissed", platform::errAuthorizationCanceled, false, Refusal::Cancelled},
        {"not authorised", platform::errAuthorizationDenied, false, Refusal::NotAuthorized},
        {"no prompt", platform::errAuthorizationInteractionNotAllowed, false, Refusal::NoPrompt},
        {"pkexec failed", platform::errAuthorizationToolExecuteFailure, false, Refusal::Failed},
        {"stopped while the prompt waits", platform::errAuthorizationCanceled, true, Refusal::Stopped},
        {"stopped, the rights came anyway", platform::errAuthorizationSuccess, true, Refusal::Stopped},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        authorization.executed.clear();
        authorization.rightsStatus = test.rights;
        authorization.duringPrompt = test.stopDuringPrompt ? std::function<void()>([this] { manager.stopRunningTool(); })
                                                           : std::function<void()>();
        EXPECT_EQ(manager.repairPermissions(), 4);
        EXPECT_EQ(manager.lastRefusal().refusal, test.expected);
        EXPECT_TRUE(authorization.executed.isEmpty());
    }
    // A run that succeeds leaves no refusal behind from the one before.
    authorization.duringPrompt = nullptr;
    authorization.rightsStatus = platform::errAuthorizationSuccess;
    EXPECT_EQ(manager.repairPermissions(), 0);
    EXPECT_EQ(manager.lastRefusal().refusal, Refusal::None);
}
