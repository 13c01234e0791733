#include "UpdateToolManager.h"

#include "Authorization.h"
#include "Errors.h"
#include "FileManager.h"
#include "Finder.h"
#include "Format.h"
#include "Logging.h"
#include "Substring.h"
#include "SystemLocations.h"
#include "Workspace.h"

#include <QMutex>
#include <QProcess>

#include <csignal>
#include <memory>
#include <unistd.h>

namespace {

const QString kToolFolderFormat = QStringLiteral("/Library/Application Support/Quorbel/%1");
const QString kUpdateToolName = QStringLiteral("updateqb");
const QString kRequiredOwner = QStringLiteral("root");
constexpr uint kRequiredToolMode = 04755;
const QString kMacFUSEInstallLog = QStringLiteral("/tmp/.macfuse-install.log");
const QString kMacFUSELogFolder = QStringLiteral("~/Library/Logs/Quorbel/MacFUSE");
const QString kMacFUSELogCopyName = QStringLiteral("macfuse-install.log");
const QString kMacFUSEWord = QStringLiteral("MacFUSE");
const QString kMonoKeypairFolder = QStringLiteral(".config/.mono/keypairs");
constexpr double kFinderQuitTimeout = 4.0;
constexpr int64_t kQuitTimedOut = -3;

// The task launch: a start that fails raises, as the platform's task class does.
[[noreturn]] void raiseLaunchFailure(const QString& path, const QString& why)
{
    throw QBException(QStringLiteral("NSInvalidArgumentException"),
                      qbFormat("launch path \"%1\" not accessible (%2)", path, why));
}

void startDetached(const QString& path, const QStringList& arguments)
{
    QProcess task;
    task.setProgram(path);
    task.setArguments(arguments);
    task.setProcessChannelMode(QProcess::ForwardedChannels);
    task.setInputChannelMode(QProcess::ForwardedInputChannel);
    if (!task.startDetached())
        raiseLaunchFailure(path, task.errorString());
}

// A root process never executes a file that someone else could have changed.
// A missing file fails as a launch does.
bool mayExecute(const QString& path)
{
    QString why;
    if (::geteuid() != 0 || platform::isSafeToExecuteAsRoot(path, &why))
        return true;
    if (!platform::files::attributesOfItem(path))
        raiseLaunchFailure(path, QStringLiteral("No such file or directory"));
    logError("UpdateToolManager: not running \"%1\" as root (%2)", path, why);
    return false;
}

} // namespace

// Runs the executable with our streams and environment; answers its exit status.
int UpdateToolManager::runAndWait(const QString& path, const QStringList& arguments)
{
    QProcess task;
    task.setProcessChannelMode(QProcess::ForwardedChannels);
    task.setInputChannelMode(QProcess::ForwardedInputChannel);
    task.start(path, arguments);
    if (!task.waitForStarted(-1))
        raiseLaunchFailure(path, task.errorString());
    m_runningPid = task.processId();
    const int limitMs = m_timeLimitSeconds.load() * 1000;
    const bool finished = task.waitForFinished(limitMs);
    m_runningPid = 0;
    if (!finished) {
        task.kill();
        task.waitForFinished(-1);
        logError("UpdateToolManager:runExe: \"%1\" did not end within %2 seconds; stopped it", path,
                 m_timeLimitSeconds.load());
        return -1;
    }
    if (m_stopAsked.exchange(false)) {
        logError("UpdateToolManager:runExe: \"%1\" was stopped by the user", path);
        return -1;
    }
    if (task.exitStatus() == QProcess::CrashExit)
        return -1; // ended by a signal: not a success
    return task.exitCode();
}

void UpdateToolManager::stopRunningTool()
{
    m_stopAsked = true;
    if (const qint64 pid = m_runningPid.load())
        ::kill(pid_t(pid), SIGKILL);
    std::lock_guard lock(m_sessionLock);
    if (m_runningSession)
        m_runningSession->stopRunningTool();
}

UpdateToolManager& UpdateToolManager::sharedManager()
{
    static QMutex lock;
    QMutexLocker locker(&lock);
    static UpdateToolManager* shared = new UpdateToolManager;
    return *shared;
}

QString UpdateToolManager::toolFolderPath(const QString& executableName)
{
    return platform::locations::systemPath(kToolFolderFormat.arg(executableName));
}

QString UpdateToolManager::installedUpdateToolPath()
{
    return toolFolderPath(kUpdateToolName);
}

int32_t UpdateToolManager::verifyUpdateTool(const QString& name)
{
    const QString path = toolFolderPath(name);
    int32_t outcome = kStatusToolMissing;
    if (platform::files::fileExists(path)) {
        const auto attributes = platform::files::attributesOfItem(path);
        const bool inOrder = attributes && platform::files::accountName(attributes->ownerId) == kRequiredOwner
                             && attributes->posixPermissions == kRequiredToolMode;
        outcome = inOrder ? kStatusOK : kStatusToolWrongPermissions;
    }
    m_status = outcome;
    return outcome;
}

// ---- Direct runs ----

int32_t UpdateToolManager::runExe(const QString& path, const QStringList& arguments, bool waitUntilExit)
{
    logVerbose("UpdateToolManager:runExe: Running \"%1\"...", path);
    bool succeeded = false;
    m_stopAsked = false;
    try {
        if (!mayExecute(path)) {
            succeeded = false;
        } else if (waitUntilExit) {
            succeeded = runAndWait(path, arguments) == 0;
        } else {
            startDetached(path, arguments);
            succeeded = true;
        }
    } catch (const QBException& exception) {
        logError("UpdateToolManager:runExe: Exception during running \"%1\" (%2)", path, errorExceptionToString(exception));
    }
    if (!succeeded) {
        logError("UpdateToolManager:runExe: Failed running \"%1\"", path);
        return kResultFailed;
    }
    logVerbose("UpdateToolManager:runExe: Succeeded running \"%1\"", path);
    return kResultSuccess;
}

int32_t UpdateToolManager::runUpdateTool(const QStringList& arguments, bool waitUntilExit)
{
    return runExe(installedUpdateToolPath(), arguments, waitUntilExit);
}

int32_t UpdateToolManager::runRepair(const QStringList& arguments)
{
    m_status = kStatusRepairNotSucceeded;
    const int32_t result = runUpdateTool(arguments, true);
    if (result == kResultSuccess)
        m_status = kStatusOK;
    return result;
}

// ---- Privileged runs ----

int32_t UpdateToolManager::runPrivileged(const QString& operation, const QString& toolPath, const QStringList& arguments,
                                         bool logToolPath)
{
    logNormal("UpdateToolManager:%1: Starting...", operation);
    int32_t created = platform::errAuthorizationInternal;
    std::unique_ptr<platform::AuthorizationSession> session = platform::AuthorizationService::shared().createSession(&created);
    if (created != platform::errAuthorizationSuccess || !session)
        return kResultFailed;
    // One tool run is the session's whole action: the helper serves it and ends.
    platform::PrivilegedAction action;
    action.kind = arguments.value(0) == QLatin1String("repairpermissions")
                      ? platform::PrivilegedAction::Kind::RepairPermissions
                      : platform::PrivilegedAction::Kind::Repair;
    session->setAction(action);
    m_stopAsked = false;
    clearLastRefusal();
    // Registered before asking: Stop also ends a wait for the prompt.
    {
        std::lock_guard lock(m_sessionLock);
        m_runningSession = session.get();
    }
    const auto unregister = [this] {
        std::lock_guard lock(m_sessionLock);
        m_runningSession = nullptr;
    };
    const int32_t rights = session->copyAdminRights();
    if (rights != platform::errAuthorizationSuccess || m_stopAsked) {
        unregister();
        if (m_stopAsked)
            logError("UpdateToolManager:%1: stopped by the user while asking for administrator rights", operation);
        else
            logError("UpdateToolManager:%1: AuthorizationCopyRights failed (OSStatus %2)", operation, rights);
        // pkexec's own words are for the log: the terminal gets the product's advice only.
        if (const QString said = session->refusalMessage(); !said.isEmpty())
            logNormal("UpdateToolManager:%1: the administrator prompt said: %2", operation, escapedForLog(said));
        const auto refusal = m_stopAsked ? Refusal::Stopped : refusalFor(platform::refusalForStatus(rights));
        setLastRefusal(refusal, QString());
        return kResultFailed;
    }
    if (logToolPath)
        logDetail("Running %1", toolPath);
    // The carried tool goes with its path; the installed one is the helper's to find.
    QStringList request = arguments;
    if (logToolPath && !request.isEmpty())
        request.insert(1, toolPath);
    platform::PrivilegedOutcome outcome;
    const int32_t executed = session->runUpdateTool(request, m_timeLimitSeconds.load(), &outcome);
    unregister();
    session.reset();
    if (executed != platform::errAuthorizationSuccess || !outcome.done) {
        m_status = kStatusPrivilegedStartFailed;
        if (executed != platform::errAuthorizationSuccess)
            logError("UpdateToolManager:%1: AuthorizationExecuteWithPrivileges failed (OSStatus %2)", operation, executed);
        else
            logError("UpdateToolManager:%1: refused (%2)", operation, outcome.reason);
        setLastRefusal(m_stopAsked ? Refusal::Stopped : Refusal::Failed, outcome.reason);
        return m_status;
    }
    if (!outcome.toolSucceeded()) {
        m_status = kStatusPrivilegedStartFailed;
        if (outcome.timedOut) {
            logError("UpdateToolManager:%1: \"%2\" did not end within %3 seconds; stopped it", operation, toolPath,
                     m_timeLimitSeconds.load());
            setLastRefusal(Refusal::Failed,
                           qbFormat("the update tool did not end within %1 seconds", m_timeLimitSeconds.load()));
        } else if (outcome.stopped) {
            logError("UpdateToolManager:%1: \"%2\" was stopped by the user", operation, toolPath);
            setLastRefusal(Refusal::Stopped, QString());
        } else {
            logError("UpdateToolManager:%1: \"%2\" failed (wait status %3)", operation, toolPath, outcome.waitStatus);
            setLastRefusal(Refusal::Failed, QString());
        }
        return m_status;
    }
    m_status = kStatusOK;
    logNormal("UpdateToolManager:%1: Succeeded", operation);
    return m_status;
}

UpdateToolManager::Refusal UpdateToolManager::refusalFor(platform::RightsRefusal refusal)
{
    switch (refusal) {
    case platform::RightsRefusal::Cancelled:
        return Refusal::Cancelled;
    case platform::RightsRefusal::NotAuthorized:
        return Refusal::NotAuthorized;
    case platform::RightsRefusal::NoPrompt:
        return Refusal::NoPrompt;
    default:
        return Refusal::Failed;
    }
}

void UpdateToolManager::setLastRefusal(Refusal refusal, const QString& reason)
{
    std::lock_guard lock(m_sessionLock);
    m_lastRefusal = {refusal, reason};
}

UpdateToolManager::LastRefusal UpdateToolManager::lastRefusal() const
{
    std::lock_guard lock(m_sessionLock);
    return m_lastRefusal;
}

void UpdateToolManager::clearLastRefusal()
{
    setLastRefusal(Refusal::None, QString());
}

int32_t UpdateToolManager::runUpdateToolAsAdmin(const QStringList& arguments)
{
    return runPrivileged(QStringLiteral("runUpdateToolAsAdmin"), installedUpdateToolPath(), arguments, false);
}

int32_t UpdateToolManager::runUninstalledUpdateToolAsAdmin(const QString& toolPath, const QStringList& arguments)
{
    return runPrivileged(QStringLiteral("runUninstalledUpdateToolAsAdmin"), toolPath, arguments, true);
}

// ---- The command vocabulary ----

int32_t UpdateToolManager::repairUpdateTool(const QString& toolPath, const QString& updateQBSignaturePath)
{
    m_status = kStatusRepairNotSucceeded;
    return runUninstalledUpdateToolAsAdmin(toolPath, {QStringLiteral("repair"), updateQBSignaturePath});
}

int32_t UpdateToolManager::repairPermissions()
{
    m_status = kStatusRepairNotSucceeded;
    return runUpdateToolAsAdmin({QStringLiteral("repairpermissions")});
}

int32_t UpdateToolManager::repairCoreAppPermissions(const QString& path)
{
    return runRepair({QStringLiteral("repaircore"), path});
}

int32_t UpdateToolManager::repairQBTool(const QString& path, const QString& signaturePath)
{
    return runRepair({QStringLiteral("repairother"), path, signaturePath});
}

int32_t UpdateToolManager::repairQBToolPermissions(const QString& name)
{
    return runRepair({QStringLiteral("repairpermissionsother"), name});
}

int32_t UpdateToolManager::repairBundleUsingPackage(const QString& packagePath)
{
    return runRepair({QStringLiteral("repairpackage"), packagePath});
}

int32_t UpdateToolManager::repairFrameworkUsingPackage(const QString& packagePath)
{
    const int32_t result = runRepair({QStringLiteral("repairpackage"), packagePath});
    copyMacFUSELogIfNeeded(packagePath);
    return result;
}

int32_t UpdateToolManager::repairQBToolRoot(const QString& path, const QString& signaturePath)
{
    // Status 0 only once Finder has been started again as well.
    m_status = kStatusRepairNotSucceeded;
    const int32_t result = runUpdateTool({QStringLiteral("repairotherroot"), path, signaturePath}, true);
    if (result != kResultSuccess)
        return result;
    return restartFinder();
}

int32_t UpdateToolManager::repairQBToolRootPermissions(const QString& name)
{
    return runRepair({QStringLiteral("repairpermissionsotherroot"), name});
}

int32_t UpdateToolManager::repairZIPArchive(const QString& zipPath, const QString& signaturePath, const QString& installPath)
{
    return runRepair({QStringLiteral("repairzipitem"), zipPath, signaturePath, installPath});
}

int32_t UpdateToolManager::repairIntel10_5(const QString& zipPath, const QString& signaturePath)
{
    return runRepair({QStringLiteral("repairintel10_5"), zipPath, signaturePath});
}

int32_t UpdateToolManager::installClientUpdate(const QString& updatePath, const QString& signaturePath,
                                               const QString& installPath)
{
    return runRepair({QStringLiteral("applyfullupdate"), updatePath, signaturePath, installPath});
}

int32_t UpdateToolManager::repairMonoKeypairPermissions()
{
    // Leaves status 5 whatever the outcome.
    m_status = kStatusRepairNotSucceeded;
    const QString keypairs = platform::locations::homeFolder() + u'/' + kMonoKeypairFolder;
    return runUpdateTool({QStringLiteral("fixmonokeypairs"), keypairs}, true);
}

// ---- After a file-system package: keep its installer's log ----

void UpdateToolManager::copyMacFUSELogIfNeeded(const QString& packagePath)
{
    if (!hasCaseInsensitiveSubstring(packagePath, kMacFUSEWord))
        return;
    const QString folder = platform::locations::expandTilde(kMacFUSELogFolder);
    const QString destination = folder + u'/' + kMacFUSELogCopyName;
    // The installer writes its log to a system path; tests point the system root elsewhere.
    const QString source = platform::locations::systemPath(kMacFUSEInstallLog);
    if (!platform::files::fileExists(source)) {
        logVerbose("\"%1\" doesn't exists - no MacFUSE log will be available", source);
        return;
    }
    try {
        ensureFolderPathExists(folder);
        logVerbose("Copying \"%1\" to \"%2\"...", source, destination);
        QString why;
        if (platform::files::copyItem(source, destination, &why)) {
            logVerbose("Copied \"%1\" to \"%2\" - MacFUSE log available", source, destination);
        } else {
            const QBError error = QBError::clientError(-1, QStringLiteral("copyItem failed"), why);
            logError("Failed to copy \"%1\" to \"%2\" (%3)", source, destination, nserrorToString(error));
        }
    } catch (const QBException& exception) {
        logErrorException(exception);
    }
}

// ---- After a root tool: restart Finder so that it loads the new plug-ins ----

void UpdateToolManager::setQuitApplicationFunction(QuitApplicationFunction quit)
{
    m_quitApplication = std::move(quit);
}

void UpdateToolManager::setSleepFunction(SleepFunction sleep)
{
    m_sleep = std::move(sleep);
}

QBErrorResult UpdateToolManager::quitFinder()
{
    const QString finder = platform::finder::bundleIdentifier();
    if (m_quitApplication)
        return m_quitApplication(finder, true, kFinderQuitTimeout);
    if (m_sleep)
        return quitApplication(finder, true, kFinderQuitTimeout, m_sleep);
    return quitApplication(finder, true, kFinderQuitTimeout);
}

int32_t UpdateToolManager::restartFinder()
{
    const QBErrorResult quitError = quitFinder();
    if (quitError && quitError->code == kQuitTimedOut) {
        logVerbose("Didn't see Finder restart - continue anyway");
    } else if (quitError) {
        logError("repairQBToolRoot failed (%1)", nserrorToString(*quitError));
        return kResultFinderNotRestarted;
    }
    const QString finderPath = platform::finder::applicationPath();
    logVerbose("Launching \"%1\"...", finderPath);
    if (!platform::files::isDirectory(finderPath) && platform::finder::fileManagersAwaitingRestart() == 0)
        logDetail("No file manager was running; nothing to start for \"%1\"", finderPath);
    if (platform::workspace::launchApplication(finderPath)) {
        logVerbose("Launched \"%1\"", finderPath);
        m_status = kStatusOK;
        return kResultSuccess;
    }
    const QBError error = QBError::clientError(-1, QStringLiteral("launchApplication failed"),
                                               qbFormat("launchApplication \"%1\" failed", finderPath));
    logError("repairQBToolRoot failed (%1)", nserrorToString(error));
    return kResultFinderNotRestarted;
}
