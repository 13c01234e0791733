#include "MoveToApplicationsFolder.h"

#include "Alert.h"
#include "AppKitVersion.h"
#include "Application.h"
#include "Authorization.h"
#include "Bundle.h"
#include "DesktopIntegration.h"
#include "FileManager.h"
#include "LocalizedString.h"
#include "Logging.h"
#include "PathChecks.h"
#include "ProcessInfo.h"
#include "Shell.h"
#include "SystemLocations.h"
#include "UserDefaults.h"
#include "Workspace.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocale>
#include <QMap>
#include <QMutex>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <optional>
#include <sys/auxv.h>

namespace {

QMutex gStateLock;
QString gAltDstBundleName;
QStringList gAlsoRemoveBundlePaths;
PFMoveActions gActions;
PFCopyProgressWindowMaker gMakeProgressWindow = nullptr;

const QString kSuppressKey = QStringLiteral("moveToApplicationsFolderAlertSuppress");
constexpr int kDetachDelaySeconds = 5;
constexpr int kProgressAfterMs = 1000;
// Often enough to look smooth; rarely enough that the window costs the copy nothing.
constexpr qint64 kProgressRefreshMs = 100;

// What one run of the move works with.
struct MovePlan {
    QString source;
    QString destinationParent;
    QString destination;
    QStringList alsoRemove; // expanded, and only paths that are safe to remove
    // What was at each path to remove when the plan was made: the removal with
    // administrator rights takes away only that same bundle.
    QMap<QString, platform::BundleIdentity> found;
    // The running bundle as it was at the start: what is installed and trashed.
    platform::BundleIdentity sourceIdentity;
    bool fromDiskImage = false;
    bool copyWording = false;
    bool needsAuthorization = false;
};

enum class MoveOutcome { Moved, Canceled, Failed };

double appKitVersion()
{
    return std::floor(platform::appkit::versionNumber());
}

// Before 10.6 the plain move cannot copy and the quarantine removal is not recursive.
bool isBefore10_6()
{
    return appKitVersion() <= platform::appkit::kVersionNumber10_5;
}

// Up to 10.4 alerts have no suppression checkbox and there is no quarantine.
bool isBefore10_5()
{
    return appKitVersion() <= platform::appkit::kVersionNumber10_4;
}

// True when `path` is `folder` or lies inside it; "/Applications Old" is not
// inside "/Applications".
bool isInFolder(const QString& path, QString folder)
{
    while (folder.size() > 1 && folder.endsWith(u'/'))
        folder.chop(1);
    if (folder.isEmpty())
        return false;
    return path == folder || path.startsWith(folder == QStringLiteral("/") ? folder : folder + u'/');
}

// The path with every link resolved; "" when nothing is there.
QString resolved(const QString& path)
{
    return QFileInfo(path).canonicalFilePath();
}

// isInFolder with both paths resolved: a folder reached through a link is the
// same folder.
bool isInFolderResolved(const QString& path, const QString& folder)
{
    const QString realPath = resolved(path);
    const QString realFolder = resolved(folder);
    return !realPath.isEmpty() && !realFolder.isEmpty() && isInFolder(realPath, realFolder);
}

// Something is at the path, a dangling link included.
bool itemExists(const QString& path)
{
    return platform::files::attributesOfItem(path).has_value();
}

QStringList recordedAlsoRemovePaths()
{
    QMutexLocker lock(&gStateLock);
    return gAlsoRemoveBundlePaths;
}

// Removing runs with administrator rights, so only whole application bundles
// named by a path the root side's rules accept qualify, and never the running copy.
bool isSafeToRemove(const QString& path, const QString& source)
{
    // A NUL would cut the path short where it reaches the file system.
    if (platform::paths::hasControlCharacter(path)) {
        logError("Not removing \"%1\": the path holds a control character", path);
        return false;
    }
    if (!platform::paths::isBundlePath(path)) {
        logError("Not removing \"%1\": not the full path of an application bundle", path);
        return false;
    }
    // As started and as resolved: a link to the running copy is the running copy.
    if (isInFolder(source, path) || isInFolderResolved(source, path)) {
        logError("Not removing \"%1\": it holds the running application", path);
        return false;
    }
    return true;
}

QStringList alsoRemovePaths(const QString& source)
{
    QStringList paths;
    for (const QString& recorded : recordedAlsoRemovePaths()) {
        if (recorded.startsWith(u'~') && !platform::locations::homeFolderIsExact()) {
            logError("Not removing \"%1\": the home folder's path is not UTF-8", recorded);
            continue;
        }
        const QString path = platform::locations::expandTilde(recorded);
        if (isSafeToRemove(path, source))
            paths.append(path);
    }
    return paths;
}

bool needsAuthorization(const MovePlan& plan)
{
    if (!platform::files::isWritable(plan.destinationParent) || !platform::files::isWritable(plan.destination))
        return true;
    for (const QString& path : plan.alsoRemove) {
        if (itemExists(path) && !platform::files::isWritable(path))
            return true;
    }
    return false;
}

std::optional<MovePlan> makePlan()
{
    const QStringList localFolders = platform::locations::applicationsFolders(platform::Domain::Local);
    if (localFolders.isEmpty()) {
        logError("No Applications folder to move to");
        return std::nullopt;
    }
    MovePlan plan;
    plan.source = platform::Bundle::mainBundle().bundlePath();
    plan.destinationParent = localFolders.last();
    plan.destination = plan.destinationParent + u'/' + QFileInfo(plan.source).fileName();
    if (isInFolderResolved(plan.source, plan.destination)) {
        logError("Not moving: \"%1\" is the running application", plan.destination);
        return std::nullopt;
    }
    plan.alsoRemove = alsoRemovePaths(plan.source);
    plan.sourceIdentity = platform::runningBundleIdentity();
    const bool sourceWritable = platform::files::isWritable(plan.source);
    plan.fromDiskImage = isInFolder(plan.source, platform::locations::volumesFolder()) && !sourceWritable;
    plan.copyWording = !sourceWritable && !plan.fromDiskImage;
    plan.needsAuthorization = needsAuthorization(plan);
    for (const QString& path : QStringList{plan.destination} + plan.alsoRemove) {
        platform::BundleIdentity identity;
        if (platform::identifyBundle(path, &identity))
            plan.found.insert(path, identity);
    }
    return plan;
}

QString wording(const MovePlan& plan, const char* moveText, const char* copyText)
{
    return QBLocalizedString(QString::fromUtf8(plan.copyWording ? copyText : moveText));
}

bool isInDownloadsFolder(const QString& source)
{
    if (isBefore10_5())
        return QFileInfo(QFileInfo(source).path()).fileName() == QStringLiteral("Downloads");
    // A plain prefix, as the offer's rule says: "~/Downloads Old/X.app" gets the note too.
    const QStringList folders = platform::locations::allDownloadsFolders();
    return std::any_of(folders.cbegin(), folders.cend(),
                       [&source](const QString& folder) { return !folder.isEmpty() && source.startsWith(folder); });
}

platform::AlertRequest offerAlert(const MovePlan& plan)
{
    platform::AlertRequest alert;
    alert.messageText = wording(plan, "Move to Applications folder?", "Copy to Applications folder?");
    alert.informativeText = wording(plan, "I can move myself to the Applications folder if you'd like.",
                                    "I can copy myself to the Applications folder if you'd like.");
    if (plan.needsAuthorization)
        alert.informativeText += u' '
                                 + QBLocalizedString(QStringLiteral("Note that this will require an administrator password."));
    else if (isInDownloadsFolder(plan.source))
        alert.informativeText += u' '
                                 + QBLocalizedString(QStringLiteral("This will keep your Downloads folder uncluttered."));
    alert.buttonTitles = QStringList{wording(plan, "Move to Applications Folder", "Copy to Applications Folder"),
                                     wording(plan, "Do Not Move", "Do Not Copy")};
    alert.escapeButton = 1;
    alert.showsSuppressionButton = !isBefore10_5();
    alert.suppressionButtonTitle = QBLocalizedString(QStringLiteral("Do not show this message again"));
    return alert;
}

// A choice that could not be kept is said once: the offer would come back
// unannounced at every launch.
void rememberNotToAsk()
{
    platform::UserDefaults& defaults = platform::UserDefaults::standardUserDefaults();
    if (defaults.setObject(true, kSuppressKey))
        return;
    const QString reason = defaults.lastError();
    logError("Could not save the choice not to be asked again: %1", escapedForLog(reason));
    platform::AlertRequest alert;
    alert.messageText = QBLocalizedString(QStringLiteral("MoveChoiceNotSavedTitle"));
    alert.informativeText = QBLocalizedStringWithArguments(QStringLiteral("MoveChoiceNotSaved"), reason);
    alert.buttonTitles = QStringList{QBLocalizedString(QStringLiteral("OK"))};
    alert.escapeButton = 0;
    platform::AlertPresenter::shared().runModal(alert);
}

bool userAcceptsMove(const MovePlan& plan)
{
    const platform::AlertResponse answer = platform::AlertPresenter::shared().runModal(offerAlert(plan));
    if (answer.button == 0)
        return true;
    if (answer.button < 0) {
        logNormal("Not moving: the offer to move could not be shown");
        return false;
    }
    // Without a checkbox a refusal is final, as the user had no way to say so.
    const bool suppress = answer.suppressionChecked || isBefore10_5();
    logVerbose("Not moving: the user declined%1", suppress ? "; not asking again" : "");
    if (suppress)
        rememberNotToAsk();
    return false;
}

void showFailureAlert(const MovePlan& plan, const QString& reason = {})
{
    platform::AlertRequest alert;
    alert.messageText = wording(plan, "Could not move to Applications folder", "Could not copy to Applications folder");
    alert.informativeText = reason;
    alert.buttonTitles = QStringList{QBLocalizedString(QStringLiteral("OK"))};
    alert.escapeButton = 0;
    platform::AlertPresenter::shared().runModal(alert);
}

// Shows a copy that lasts. It is told between files, on the thread that
// copies, and each update of the window lets that thread serve the window's
// events. The window comes up once the copy has lasted `showAfterMs` and
// goes with the watch, whatever the copy came to.
class CopyWatch {
public:
    CopyWatch(bool copyWording, int showAfterMs) : m_copyWording(copyWording), m_showAfterMs(showAfterMs)
    {
        m_clock.start();
    }
    ~CopyWatch()
    {
        if (m_unreadable > 1)
            logError("Ignored %1 unreadable progress reports of the copy", m_unreadable);
    }
    CopyWatch(const CopyWatch&) = delete;
    CopyWatch& operator=(const CopyWatch&) = delete;

    // The plain copy of `source`: one more file of `bytes` is copied. Its
    // files are counted once the copy turns out to last.
    void fileCopied(qint64 bytes, const QString& source)
    {
        m_progress.files += 1;
        m_progress.bytes += bytes;
        if (m_progress.totalFiles == 0 && m_clock.elapsed() >= m_showAfterMs)
            m_progress.totalFiles = std::max<qint64>(platform::files::countFiles(source), 1);
        report(m_progress);
    }

    // Progress as the root side reports it; nullopt for a report that could not be read.
    void reportFromRoot(const std::optional<platform::files::CopyProgress>& progress)
    {
        if (progress) {
            m_progress = *progress;
            report(m_progress);
        } else if (m_unreadable++ == 0) {
            logError("Ignoring a progress report of the copy that does not hold counts in range");
        }
    }

    const platform::files::CopyProgress& progress() const { return m_progress; }

private:
    void report(platform::files::CopyProgress progress)
    {
        const qint64 now = m_clock.elapsed();
        if (now < m_showAfterMs || now - m_refreshedAt < kProgressRefreshMs || !gMakeProgressWindow)
            return;
        m_refreshedAt = now;
        // A tree that grew since it was counted is as large as the copy says.
        progress.totalFiles = std::max(progress.totalFiles, progress.files);
        if (!m_window) {
            platform::files::CopyProgress whole = progress;
            whole.files = whole.totalFiles;
            whole.bytes = std::max(whole.bytes, whole.totalBytes);
            const QString message = QBLocalizedString(m_copyWording ? QStringLiteral("MoveProgressCopying")
                                                                    : QStringLiteral("MoveProgressMoving"));
            m_window = gMakeProgressWindow(message, countsText(whole));
            if (!m_window)
                return;
        }
        // By bytes where they were counted (the root side counts them), else by files.
        const double done = progress.totalBytes > 0
                                ? double(progress.bytes) / double(progress.totalBytes)
                                : double(progress.files) / double(std::max<qint64>(progress.totalFiles, 1));
        const int permille = int(done * 1000);
        m_window->update(
            permille, countsText(progress),
            QBLocalizedStringWithArguments(QStringLiteral("MoveProgressTitle"), QStringLiteral("%1%").arg(permille / 10)));
    }

    static QString countsText(const platform::files::CopyProgress& progress)
    {
        const QLocale locale;
        return QBLocalizedStringWithArguments(QStringLiteral("MoveProgressCounts"), locale.toString(progress.files),
                                              locale.toString(progress.totalFiles), locale.formattedDataSize(progress.bytes));
    }

    bool m_copyWording;
    int m_showAfterMs;
    QElapsedTimer m_clock;
    qint64 m_refreshedAt = -kProgressRefreshMs;
    platform::files::CopyProgress m_progress;
    std::unique_ptr<PFCopyProgressWindow> m_window;
    int m_unreadable = 0;
};

// Test builds may slow the plain copy down (QUORBEL_COPY_PAUSE_MS after each
// file), for whole runs that watch its window.
int copyPauseForTests()
{
#ifdef QB_TEST_HOOKS
    if (getauxval(AT_SECURE) == 0)
        return qEnvironmentVariableIntValue("QUORBEL_COPY_PAUSE_MS");
#endif
    return 0;
}

bool passesSafetyChecks(const MovePlan& plan)
{
    return platform::paths::isBundlePath(plan.destination) && platform::paths::isCleanAbsolutePath(plan.source);
}

bool isInRootOnlyFolder(const QString& path)
{
    return platform::isRootOnlyFolder(QFileInfo(path).path());
}

// Folders the user can write to (their home above all) are never worked on
// with administrator rights: what is in them goes with the user's own.
bool removeBundle(platform::AuthorizationSession& session, const MovePlan& plan, const QString& path)
{
    if (!itemExists(path))
        return true;
    logVerbose("Removing \"%1\"", path);
    if (!isInRootOnlyFolder(path)) {
        QString why;
        if (platform::removeBundleWithOwnRights(path, &why))
            return true;
        logError("Could not remove \"%1\" (%2)", path, why);
        return false;
    }
    platform::PrivilegedOutcome outcome;
    const int32_t status = session.removeBundle(path, plan.found.value(path), &outcome);
    if (status != platform::errAuthorizationSuccess) {
        logError("Could not remove \"%1\" with administrator rights (%2)", path, status);
        return false;
    }
    if (!outcome.done)
        logError("Could not remove \"%1\" (%2)", path, outcome.reason);
    return outcome.done;
}

bool installWithPrivileges(platform::AuthorizationSession& session, const MovePlan& plan)
{
    if (itemExists(plan.destination)) {
        logError("\"%1\" is still there after removing it", plan.destination);
        return false;
    }
    logVerbose("Copying \"%1\" to \"%2\"", plan.source, plan.destination);
    // Its folders resolved: the root side follows no link on the way, and
    // takes the folder only when it is still the one that was started.
    const QString resolvedSource = resolved(plan.source);
    platform::PrivilegedOutcome outcome;
    CopyWatch watch(plan.copyWording, kProgressAfterMs);
    session.setCopyProgress([&watch](const auto& progress) { watch.reportFromRoot(progress); });
    const int32_t status = session.installBundle(resolvedSource.isEmpty() ? plan.source : resolvedSource,
                                                 plan.destinationParent, QFileInfo(plan.destination).fileName(), &outcome);
    session.setCopyProgress({});
    logVerbose("Copied %1 of %2 files, %3 of %4 bytes", watch.progress().files, watch.progress().totalFiles,
               watch.progress().bytes, watch.progress().totalBytes);
    if (status != platform::errAuthorizationSuccess) {
        logError("Could not copy \"%1\" with administrator rights (%2)", plan.source, status);
        return false;
    }
    if (!outcome.done)
        logError("Could not copy \"%1\" to \"%2\" (%3)", plan.source, plan.destination, outcome.reason);
    return outcome.done;
}

// What the failure alert tells the user when no rights came.
QString refusalText(int32_t status)
{
    switch (platform::refusalForStatus(status)) {
    case platform::RightsRefusal::NotAuthorized:
        return QBLocalizedString(QStringLiteral("MoveReasonNotAuthorized"));
    case platform::RightsRefusal::NoPrompt:
        return QBLocalizedString(QStringLiteral("MoveReasonNoPrompt"));
    default:
        return QBLocalizedString(QStringLiteral("MoveReasonFailed"));
    }
}

// The move as one action: the root side removes only what was found and
// installs only the running bundle.
platform::PrivilegedAction moveAction(const MovePlan& plan)
{
    platform::PrivilegedAction action;
    action.kind = platform::PrivilegedAction::Kind::Move;
    action.folder = plan.destinationParent;
    action.name = QFileInfo(plan.destination).fileName();
    action.source = plan.sourceIdentity;
    QStringList listed;
    for (const QString& path : QStringList{plan.destination} + plan.alsoRemove) {
        if (plan.found.contains(path) && !listed.contains(path)) {
            listed.append(path);
            action.removals.append({path, plan.found.value(path)});
        }
    }
    return action;
}

std::unique_ptr<platform::AuthorizationSession> authorize(const MovePlan& plan, MoveOutcome* outcome, QString* reason)
{
    logVerbose("Asking for authorisation...");
    int32_t status = platform::errAuthorizationInternal;
    auto session = platform::AuthorizationService::shared().createSession(&status);
    if (!session || status != platform::errAuthorizationSuccess) {
        *outcome = MoveOutcome::Failed;
        return nullptr;
    }
    session->setAction(moveAction(plan));
    status = session->copyAdminRights();
    if (status == platform::errAuthorizationSuccess)
        return session;
    logVerbose("Authorisation denied");
    *outcome = MoveOutcome::Failed;
    if (status == platform::errAuthorizationCanceled) {
        logNormal("Not moving because user canceled authorization");
        *outcome = MoveOutcome::Canceled;
        return nullptr;
    }
    logError("No administrator rights for the move (%1)", status);
    // The prompt's own words are for the log; the alert gives the product's advice.
    if (const QString said = session->refusalMessage(); !said.isEmpty())
        logNormal("The administrator prompt said: %1", escapedForLog(said));
    *reason = refusalText(status);
    return nullptr;
}

MoveOutcome authorizedMove(const MovePlan& plan, QString* reason)
{
    if (!passesSafetyChecks(plan))
        return MoveOutcome::Failed;
    MoveOutcome refused = MoveOutcome::Failed;
    const auto session = authorize(plan, &refused, reason);
    if (!session)
        return refused;
    // Checked before anything is removed: the rights install only there.
    if (plan.destinationParent != session->applicationsFolder()) {
        logError("Not installing into \"%1\": only \"%2\" is written with administrator rights", plan.destinationParent,
                 session->applicationsFolder());
        return MoveOutcome::Failed;
    }
    platform::process::stopPointForTests("authorised");
    if (!removeBundle(*session, plan, plan.destination))
        return MoveOutcome::Failed;
    // An earlier copy that stays is no reason to give up the move; the copy
    // never goes into one (installWithPrivileges finds the destination empty).
    for (const QString& path : plan.alsoRemove) {
        if (!removeBundle(*session, plan, path))
            logNormal("Going on with the move; \"%1\" stays", path);
    }
    platform::process::stopPointForTests("removed-earlier-copies");
    if (!installWithPrivileges(*session, plan))
        return MoveOutcome::Failed;
    platform::process::stopPointForTests("installed");
    return MoveOutcome::Moved;
}

// The copy is made beside the destination under a name no search takes for a
// bundle, and renamed into place only when it is whole.
QString partialCopyPath(const MovePlan& plan)
{
    return plan.destinationParent + QStringLiteral("/.") + QFileInfo(plan.destination).fileName()
           + QStringLiteral(".partial");
}

bool discardPartialCopy(const QString& partial)
{
    if (!itemExists(partial) || platform::files::removeCopy(partial))
        return true;
    logError("Could not remove the incomplete copy \"%1\"", partial);
    return false;
}

bool plainMove(const MovePlan& plan)
{
    if (isBefore10_6()) {
        // This system cannot copy here: fail before anything is trashed for nothing.
        logError("Could not copy myself to %1", plan.destination);
        return false;
    }
    // Copy first: a copy that fails must not have cost the installed one.
    const QString partial = partialCopyPath(plan);
    if (!discardPartialCopy(partial)) // left by a move that was ended half way
        return false;
    logVerbose("Copying \"%1\" to \"%2\"", plan.source, partial);
    QString error;
    if (!PFCopyShowingProgress(plan.source, partial, plan.copyWording, &error)) {
        logError("Could not copy '%1' to '%2' (%3)", plan.source, plan.destination, error);
        logError("Could not copy myself to %1", plan.destination);
        return false;
    }
    platform::process::stopPointForTests("copied");
    if (itemExists(plan.destination) && !Trash(plan.destination)) {
        discardPartialCopy(partial);
        return false;
    }
    platform::process::stopPointForTests("trashed-destination");
    // Before the rename: the list may name the destination itself.
    for (const QString& path : plan.alsoRemove) {
        if (itemExists(path) && !Trash(path))
            logVerbose("Failed to trash \"%1\"", path);
    }
    platform::process::stopPointForTests("trashed-earlier-copies");
    if (!platform::files::renameItem(partial, plan.destination, &error)) {
        logError("Could not copy myself to %1 (%2)", plan.destination, error);
        discardPartialCopy(partial);
        return false;
    }
    platform::process::stopPointForTests("installed");
    return true;
}

bool startShell(const QString& line)
{
    return gActions.startShell ? gActions.startShell(line) : platform::shell::startDetached(line);
}

void terminateApplication()
{
    if (gActions.terminate)
        gActions.terminate();
    else
        platform::application::terminate();
}

// The volume a disk-image path lies on: the first folder below the volumes
// folder, however deep the bundle sits on it.
QString mountedVolume(const QString& path)
{
    const QString volumes = platform::locations::volumesFolder() + u'/';
    return volumes + path.mid(volumes.size()).section(u'/', 0, 0);
}

// With administrator rights the download is trashed only as the very folder
// that was run: a path swapped for a link meanwhile must not take the new
// install (or anything else) with it.
bool trashSource(const MovePlan& plan)
{
    if (!platform::AuthorizationService::shared().hasAdministratorRights())
        return Trash(plan.source);
    logVerbose("Trashing \"%1\"...", plan.source);
    QString error;
    if (platform::workspace::recycleExactly(plan.source, plan.sourceIdentity.device, plan.sourceIdentity.inode, &error)) {
        logVerbose("Trashed \"%1\"", plan.source);
        return true;
    }
    logError("Could not trash \"%1\"", plan.source);
    logVerbose("Trash: %1", error);
    return false;
}

void finish(const MovePlan& plan)
{
    if (!plan.fromDiskImage && !trashSource(plan))
        logNormal("Warning! Could not delete application after moving it to Applications folder");
    platform::process::stopPointForTests("trashed-source");
    // The menu forgets the copies that are gone; the relaunched copy writes its own entry.
    const QString identifier = platform::Bundle::mainBundle().bundleIdentifier();
    for (const QString& path : plan.alsoRemove) {
        QString why;
        if (!identifier.isEmpty() && path != plan.destination && plan.found.contains(path) && !itemExists(path)
            && platform::desktop::removeIntegration(identifier, path, &why) == platform::desktop::Outcome::Refused)
            logError("Could not remove the desktop entry of \"%1\": %2", path, why);
    }
    logVerbose("Relaunching \"%1\" once this process has ended", plan.destination);
    if (!startShell(PFRelaunchLine(platform::process::processIdentifier(), plan.destination)))
        logError("Could not start the relaunch of \"%1\"", plan.destination);
    if (plan.fromDiskImage && !startShell(PFDetachLine(mountedVolume(plan.source))))
        logError("Could not start the detaching of \"%1\"", mountedVolume(plan.source));
    platform::process::stopPointForTests("relaunch-started");
    terminateApplication();
}

} // namespace

void PFAltDstBundleName(const QString& name)
{
    QMutexLocker lock(&gStateLock);
    gAltDstBundleName = name;
}

void PFAlsoRemoveBundles(const QStringList& paths)
{
    QMutexLocker lock(&gStateLock);
    gAlsoRemoveBundlePaths = paths;
}

void PFSetMoveActions(const PFMoveActions& actions)
{
    gActions = actions;
}

void PFSetCopyProgressWindow(PFCopyProgressWindowMaker make)
{
    gMakeProgressWindow = make;
}

bool PFCopyShowingProgress(const QString& source, const QString& destination, bool copyWording, QString* error,
                           int showAfterMs)
{
    CopyWatch watch(copyWording, showAfterMs);
    const int pause = copyPauseForTests();
    return platform::files::copyItem(source, destination, error, [&](qint64 bytes) {
        watch.fileCopied(bytes, source);
        if (pause > 0)
            QThread::msleep(ulong(pause));
    });
}

bool Trash(const QString& path)
{
    logVerbose("Trashing \"%1\"...", path);
    QString error;
    if (platform::workspace::recycle(path, &error)) {
        logVerbose("Trashed \"%1\"", path);
        return true;
    }
    logError("Could not trash \"%1\"", path);
    logVerbose("Trash: %1", error);
    return false;
}

QString PFRelaunchLine(qint64 pid, const QString& destination)
{
    const QString quarantine = isBefore10_5() ? QString()
                                              : platform::shell::quarantineRemovalCommand(destination, !isBefore10_6());
    return qbFormat("(while [ `ps -p %1 | wc -l` -gt 1 ]; do sleep 0.1; done; %2 %3) &", pid, quarantine,
                    platform::shell::openApplicationCommand(destination));
}

QString PFDetachLine(const QString& volume)
{
    return qbFormat("(sleep %1 && %2) &", kDetachDelaySeconds, platform::shell::detachVolumeCommand(volume));
}

void PFMove()
{
    const std::optional<MovePlan> planned = makePlan();
    if (!planned)
        return;
    const MovePlan& plan = *planned;
    if (plan.copyWording)
        logNormal("No access to delete the app: %1. offering to copy it.", plan.source);
    if (!userAcceptsMove(plan))
        return;
    logNormal("Moving myself to the Applications folder");
    // Already root, the install is the descriptor-based one (no path-string
    // copy a user could race): root may write the destination, but the source
    // and the folders on the way may be a user's.
    if (plan.needsAuthorization || platform::AuthorizationService::shared().hasAdministratorRights()) {
        QString reason;
        const MoveOutcome outcome = authorizedMove(plan, &reason);
        if (outcome == MoveOutcome::Canceled)
            return;
        if (outcome == MoveOutcome::Failed) {
            logError("Could not copy myself to /Applications with authorization");
            showFailureAlert(plan, reason);
            return;
        }
    } else if (!plainMove(plan)) {
        showFailureAlert(plan);
        return;
    }
    finish(plan);
}

void PFMoveToApplicationsFolderIfNecessary()
{
    if (platform::UserDefaults::standardUserDefaults().boolForKey(kSuppressKey)) {
        logVerbose("Not offering the move to the Applications folder: the user asked not to be asked again");
        return;
    }
    const QString path = platform::Bundle::mainBundle().bundlePath();
    // A plain prefix: "/Applications Old/X.app" counts as in "/Applications" too.
    // Resolved paths are compared as well, for a bundle started through a linked folder.
    const QStringList applicationsFolders = platform::locations::allApplicationsFolders();
    const bool inApplications = std::any_of(
        applicationsFolders.cbegin(), applicationsFolders.cend(), [&path](const QString& folder) {
            return !folder.isEmpty() && (path.startsWith(folder) || isInFolderResolved(path, folder));
        });
    if (inApplications || path.split(u'/').contains(QStringLiteral("Applications"))) {
        logVerbose("\"%1\" is in an Applications folder", path);
        return;
    }
    if (!path.endsWith(QStringLiteral(".app"))) {
        logVerbose("Not offering to move \"%1\": not an application bundle", path);
        return;
    }
    PFMove();
}
