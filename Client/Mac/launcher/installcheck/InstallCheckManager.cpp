#include "InstallCheckManager.h"

#include "Application.h"
#include "Authorization.h"
#include "ExitStatus.h"
#include "FileManager.h"
#include "KeyConstants.h"
#include "LocalizedString.h"
#include "Logging.h"
#include "PropertyList.h"
#include "UpdateToolManager.h"
#include "WindowSystem.h"

#include <QMutex>
#include <QScopeGuard>
#include <QWidget>

#include <thread>
#include <unistd.h>

namespace {

InstallCheckManager::CheckWindow gCheckWindow = nullptr;

const QString kManifestName = QStringLiteral("RequiredItems");
const QString kManifestItemsKey = QStringLiteral("RequiredItems");
const QString kFileSystemBundleName = QStringLiteral("QuorbelFS");
const QString kRequiredToolOwner = QStringLiteral("root");
constexpr uint kRequiredMode = 0755;
constexpr int32_t kUpdateToolWrongPermissions = 2;

// The keys the check reads; each must hold a string.
const QStringList& stringKeys()
{
    static const QStringList keys{kInstallType, kName,    kInstallPath,      kResource,        kInstaller,
                                  kSignature,   kVersion, kMaxMacOSXVersion, kMinMacOSXVersion};
    return keys;
}

// A manifest item as the check reads it: a value of the wrong type counts as
// missing, and so does an item that is not a dictionary at all.
QVariantMap sanitisedItem(const QVariant& entry, qsizetype index)
{
    if (entry.typeId() != QMetaType::QVariantMap) {
        logError("Required item %1 is not a dictionary (%2); it is not examined", index, entry.typeName());
        return {};
    }
    QVariantMap item = entry.toMap();
    for (const QString& key : stringKeys()) {
        const auto found = item.constFind(key);
        if (found != item.constEnd() && found->typeId() != QMetaType::QString) {
            logError("Required item %1: \"%2\" is a %3, not a string; treated as absent", index, key, found->typeName());
            item.remove(key);
        } else if (found != item.constEnd() && found->toString().contains(QChar(0))) {
            // The file system would end a path at the NUL and look at another item.
            logError("Required item %1: \"%2\" holds a NUL character; treated as absent", index, key);
            item.remove(key);
        }
    }
    return item;
}

QString stringValue(const QVariantMap& item, const QString& key)
{
    return item.value(key).toString();
}

// A launcher running as root asks an installed tool its version only when no
// one but root can have changed it; otherwise it is never executed.
bool mayRunInstalledTool(const QVariantMap& item, QString* reason)
{
    QString why;
    const QString path = stringValue(item, kInstallPath);
    if (::geteuid() != 0 || platform::isSafeToExecuteAsRoot(path, &why))
        return true;
    logError("Not running \"%1\" as root (%2)", path, why);
    *reason = qbFormat("not run as root: %1", why);
    return false;
}

// The mode of the path itself, 0 when it has no attributes.
uint modeOf(const QString& path)
{
    const auto attributes = platform::files::attributesOfItem(path);
    return attributes ? attributes->posixPermissions : 0;
}

// What makes `path` fail the permission test: its mode and, when
// `checkOwner`, its owner, against what the test wants.
QString permissionReason(const QString& path, bool checkOwner)
{
    const auto attributes = platform::files::attributesOfItem(path);
    if (!attributes)
        return QStringLiteral("cannot be examined");
    QStringList parts;
    const QString owner = platform::files::accountName(attributes->ownerId);
    if (checkOwner && owner != kRequiredToolOwner)
        parts.append(qbFormat("owner %1, wants %2", owner.isEmpty() ? QString::number(attributes->ownerId) : owner,
                              kRequiredToolOwner));
    if (attributes->posixPermissions != kRequiredMode)
        parts.append(qbFormat("mode %1, wants %2", QStringLiteral("%1").arg(attributes->posixPermissions, 4, 8, QChar(u'0')),
                              QStringLiteral("%1").arg(kRequiredMode, 4, 8, QChar(u'0'))));
    return parts.join(QStringLiteral("; "));
}

const QString kNothingInstalled = QStringLiteral("nothing installed there");
const QString kNotNeededHere = QStringLiteral("not needed on this system version");

// Until the application delegate hands over its launchCore.
void launchCoreWithoutDelegate()
{
    logError("No application delegate to start the core");
}

} // namespace

InstallCheckManager& InstallCheckManager::sharedManager()
{
    static QMutex lock;
    QMutexLocker locker(&lock);
    static InstallCheckManager* shared = new InstallCheckManager(platform::Bundle::mainBundle());
    return *shared;
}

InstallCheckManager::InstallCheckManager(const platform::Bundle& bundle) : bundle(bundle)
{
    setLaunchCoreFunction({});
    // The check window is loaded when it is first shown: a launch that finds
    // everything in order never needs it.
    readManifest();
}

InstallCheckManager::~InstallCheckManager()
{
    // The repair thread is detached but calls back into this object.
    while (m_repairThreadsRunning.load() > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void InstallCheckManager::readManifest()
{
    const QString path = bundle.pathForResource(kManifestName, QStringLiteral("plist"));
    if (path.isEmpty()) {
        logError("The required-items manifest %1.plist is missing from the resources; no items are checked", kManifestName);
        m_manifestError = qbFormat("%1.plist is missing from the resources", kManifestName);
        return;
    }
    m_manifestState = ManifestState::Unreadable;
    QString error;
    requiredItems = platform::readPropertyListDictionary(path, &error);
    if (!error.isEmpty()) {
        logError("The required-items manifest \"%1\" is unreadable (%2); no items are checked", path, error);
        m_manifestError = qbFormat("\"%1\" is unreadable (%2)", path, error);
        return;
    }
    const QVariant list = requiredItems.value(kManifestItemsKey);
    if (list.typeId() != QMetaType::QVariantList) {
        logError("The required-items manifest \"%1\" has no \"%2\" array; no items are checked", path, kManifestItemsKey);
        m_manifestError = qbFormat("\"%1\" has no \"%2\" array", path, kManifestItemsKey);
        return;
    }
    m_manifestState = ManifestState::Read;
    const QVariantList entries = list.toList();
    for (qsizetype i = 0; i < entries.size(); ++i)
        requiredItemsList.append(sanitisedItem(entries.at(i), i));
}

bool InstallCheckManager::checkForRequiredItems()
{
    updateStatus();
    if (numberRepairsRequired == 0 && numberItemsMissing == 0)
        return true;
    showCheckWindow();
    return false;
}

void InstallCheckManager::setCheckWindow(CheckWindow show)
{
    gCheckWindow = show;
}

void InstallCheckManager::showCheckWindow()
{
    QString why;
    if (platform::windowsystem::load(&why) && gCheckWindow) {
        (this->*gCheckWindow)();
        return;
    }
    logNormal("Install check: items not in order: %1 (update tool repairs: %2); showing the check window",
              numberItemsMissing, numberRepairsRequired);
    logError("No check window can be shown here (%1); not starting the core",
             why.isEmpty() ? QStringLiteral("the window system has none") : why);
    platform::application::terminate(ExitStatus::forUnavailableWindows());
}

// ---- Status ----

QString InstallCheckManager::statusOK()
{
    return QBLocalizedString(QStringLiteral("OK"));
}
QString InstallCheckManager::statusMissing()
{
    return QBLocalizedString(QStringLiteral("Missing"));
}
QString InstallCheckManager::statusOldVersion()
{
    return QBLocalizedString(QStringLiteral("Old Version"));
}
QString InstallCheckManager::statusInvalid()
{
    return QBLocalizedString(QStringLiteral("Invalid"));
}
QString InstallCheckManager::statusWrongPermissions()
{
    return QBLocalizedString(QStringLiteral("Wrong Permissions"));
}
QString InstallCheckManager::statusNotRequired()
{
    return QBLocalizedString(QStringLiteral("Not Required"));
}

void InstallCheckManager::updateStatus()
{
    logDetail("Updating status...");
    requiredItemsStatusList.clear();
    const QString ok = statusOK();
    for (qsizetype i = 0; i < requiredItemsList.size(); ++i)
        requiredItemsStatusList.append(ok);
    m_reasons = QStringList(requiredItemsList.size(), QString());
    m_examinedPaths = m_reasons;
    numberRepairsRequired = 0;
    numberItemsMissing = 0;
    m_MacFuseRepairRequired = false;
    m_HelperRepairRequired = false;

    using Evaluator = void (InstallCheckManager::*)(const QVariantMap&, int32_t);
    static const std::pair<QString, Evaluator> evaluators[] = {
        {QStringLiteral("CoreApp"), &InstallCheckManager::updateRequiredItemStatusCoreApp},
        {QStringLiteral("Framework"), &InstallCheckManager::updateRequiredItemStatusFramework},
        {QStringLiteral("Bundle"), &InstallCheckManager::updateRequiredItemStatusBundle},
        {QStringLiteral("QBTool"), &InstallCheckManager::updateRequiredItemStatusTool},
        {QStringLiteral("QBToolRoot"), &InstallCheckManager::updateRequiredItemStatusToolRoot},
        {QStringLiteral("FinderCM"), &InstallCheckManager::updateRequiredItemStatusFinderCM},
        {QStringLiteral("FinderOverlayInsert"), &InstallCheckManager::updateRequiredItemStatusFinderOverlayInsert},
    };
    const auto endReadAheadOnReturn = qScopeGuard([this] { endReadAhead(); });
    int32_t readAheadEnd = 0;
    for (int32_t index = 0; index < int32_t(requiredItemsList.size()); ++index) {
        if (index == readAheadEnd)
            readAheadEnd = readAheadInfoPlists(index);
        const QVariantMap item = requiredItemsList.at(index).toMap();
        const QString type = stringValue(item, kInstallType);
        const QString name = stringValue(item, kName);
        logDetail("Checking %1 \"%2\"...", type, name);
        setExamined(index, stringValue(item, kInstallPath));
        for (const auto& [word, evaluate] : evaluators) {
            if (type == word) {
                (this->*evaluate)(item, index);
                break;
            }
        }
        logVerbose("Install check: %1 \"%2\" is \"%3\"", type, name, requiredItemsStatusList.at(index));
    }
    logDetail("Updated status");
}

void InstallCheckManager::setStatus(int32_t index, const QString& status, const QString& reason)
{
    requiredItemsStatusList[index] = status;
    m_reasons[index] = reason;
}

void InstallCheckManager::setExamined(int32_t index, const QString& path)
{
    m_examinedPaths[index] = path;
}

void InstallCheckManager::logInstalledSubject(const QVariantMap& item)
{
    logDetail("Examining installed \"%1\"", stringValue(item, kInstallPath));
}

bool InstallCheckManager::installedItemExists(const QVariantMap& item)
{
    return platform::files::fileExists(stringValue(item, kInstallPath));
}

void InstallCheckManager::recordHelperStatus(int32_t index, const QString& status, const QString& reason)
{
    if (status.isNull())
        return;
    setStatus(index, status, reason);
    if (status == statusNotRequired())
        return;
    ++numberRepairsRequired;
    ++numberItemsMissing;
    m_HelperRepairRequired = true;
}

// ---- Evaluators: the first failing test decides; passing all keeps "OK" ----

void InstallCheckManager::updateRequiredItemStatusCoreApp(const QVariantMap& item, int32_t index)
{
    const QString path = pathToRequiredItemInResources(item);
    logDetail("Examining \"%1\"", path);
    setExamined(index, path);
    // An absent core fails the permission test.
    if (!verifyCoreAppPermissions(item))
        recordHelperStatus(index, statusWrongPermissions(), permissionReason(path, false));
}

void InstallCheckManager::updateRequiredItemStatusFramework(const QVariantMap& item, int32_t)
{
    // Installed by its package; nothing on disk is examined.
    logInstalledSubject(item);
}

void InstallCheckManager::updateRequiredItemStatusBundle(const QVariantMap& item, int32_t index)
{
    logInstalledSubject(item);
    QString status;
    QString reason;
    int32_t major = 0, minor = 0, bugfix = 0;
    // A readable version proves that something is installed: the disk is
    // asked whether anything exists only when there is none.
    if (!getBundleVersion(item, &major, &minor, &bugfix)) {
        const bool exists = installedItemExists(item);
        status = exists ? statusInvalid() : statusMissing();
        reason = exists ? QStringLiteral("no three-part CFBundleShortVersionString in Contents/Info.plist")
                        : kNothingInstalled;
    } else if (!checkFrameworkVersion(item, major, minor, bugfix)) {
        status = statusOldVersion();
        reason = qbFormat("version %1.%2.%3 older than %4", major, minor, bugfix, stringValue(item, kVersion));
    }
    if (status.isNull())
        return;
    setStatus(index, status, reason);
    ++numberItemsMissing;
    // The last failing bundle decides which wording the repair offers.
    m_MacFuseRepairRequired = stringValue(item, kName) == kFileSystemBundleName;
}

void InstallCheckManager::updateRequiredItemStatusTool(const QVariantMap& item, int32_t index)
{
    logInstalledSubject(item);
    QString status;
    QString reason;
    if (!installedItemExists(item)) {
        status = statusMissing();
        reason = kNothingInstalled;
    } else if (!mayRunInstalledTool(item, &reason)) {
        status = statusWrongPermissions();
    } else if (doesToolNeedUpdate(item, getMacClientVersionAsString(), &reason)) {
        status = statusOldVersion();
    } else if (!verifyQBToolPermissions(item)) {
        status = statusWrongPermissions();
        reason = permissionReason(stringValue(item, kInstallPath), true);
    }
    recordHelperStatus(index, status, reason);
}

void InstallCheckManager::updateRequiredItemStatusToolRoot(const QVariantMap& item, int32_t index)
{
    logInstalledSubject(item);
    QString status;
    QString reason;
    const QString name = stringValue(item, kName);
    if (!checkMinMacOSXVersion(item)) {
        status = statusNotRequired();
        reason = kNotNeededHere;
    } else if (!installedItemExists(item)) {
        status = statusMissing();
        reason = kNothingInstalled;
    } else if (!mayRunInstalledTool(item, &reason)) {
        status = statusWrongPermissions();
    } else if (doesToolNeedUpdate(item, getMacClientVersionAsString(), &reason)) {
        status = statusOldVersion();
    }
    // Judged in the tool folder under its name; absent there (1) passes.
    else if (UpdateToolManager::sharedManager().verifyUpdateTool(name) == kUpdateToolWrongPermissions) {
        status = statusWrongPermissions();
        const QString copy = UpdateToolManager::toolFolderPath(name);
        setExamined(index, copy);
        reason = permissionReason(copy, true);
    }
    recordHelperStatus(index, status, reason);
}

void InstallCheckManager::updateRequiredItemStatusFinderCM(const QVariantMap& item, int32_t index)
{
    updateFinderPlugInStatus(item, index, checkMaxMacOSXVersion(item));
}

void InstallCheckManager::updateRequiredItemStatusFinderOverlayInsert(const QVariantMap& item, int32_t index)
{
    updateFinderPlugInStatus(item, index, checkMinMacOSXVersion(item));
}

// The two Finder plug-ins differ only in the system-version rule that says
// whether they are needed at all.
void InstallCheckManager::updateFinderPlugInStatus(const QVariantMap& item, int32_t index, bool requiredOnThisSystem)
{
    logInstalledSubject(item);
    QString status;
    QString reason;
    if (!requiredOnThisSystem) {
        status = statusNotRequired();
        reason = kNotNeededHere;
    }
    // A bundle whose version reads is installed; one that is missing has no
    // version and needs an update, so only then is existence asked.
    else if (doesBundleNeedUpdate(item, getMacClientVersionAsString(), &reason)) {
        const bool exists = installedItemExists(item);
        status = exists ? statusOldVersion() : statusMissing();
        if (!exists)
            reason = kNothingInstalled;
    }
    recordHelperStatus(index, status, reason);
}

// ---- Permission tests: all twelve mode bits of the path itself ----

bool InstallCheckManager::verifyCoreAppPermissions(const QVariantMap& item)
{
    const QString path = pathToRequiredItemInResources(item);
    logDetail("Examining \"%1\"", path);
    return modeOf(path) == kRequiredMode;
}

bool InstallCheckManager::verifyQBToolPermissions(const QVariantMap& item)
{
    const QString installPath = stringValue(item, kInstallPath);
    logDetail("Examining installed \"%1\"", installPath);
    const auto attributes = platform::files::attributesOfItem(installPath);
    return attributes && platform::files::accountName(attributes->ownerId) == kRequiredToolOwner
           && attributes->posixPermissions == kRequiredMode;
}

// ---- Paths inside the launcher's resources ----

namespace {

QString joinedWithResources(const QString& resources, const QString& relative)
{
    // No value is no path: joining nothing would name the resources folder itself.
    if (relative.isEmpty())
        return {};
    QString component = relative;
    while (component.startsWith(u'/'))
        component.remove(0, 1);
    while (component.size() > 1 && component.endsWith(u'/'))
        component.chop(1);
    return resources + u'/' + component;
}

} // namespace

QString InstallCheckManager::pathToRequiredItemInResources(const QVariantMap& item) const
{
    return joinedWithResources(bundle.resourcePath(), stringValue(item, kResource));
}

QString InstallCheckManager::pathToRequiredItemInstallerInResources(const QVariantMap& item) const
{
    return joinedWithResources(bundle.resourcePath(), stringValue(item, kInstaller));
}

QString InstallCheckManager::pathToRequiredItemSignatureInResources(const QVariantMap& item) const
{
    return joinedWithResources(bundle.resourcePath(), stringValue(item, kSignature));
}

void InstallCheckManager::setStopButtonDelay(std::chrono::milliseconds delay)
{
    m_stopButtonDelay = delay;
}

void InstallCheckManager::setLaunchCoreFunction(std::function<void()> launchCore)
{
    m_launchCore = launchCore ? std::move(launchCore) : std::function<void()>(launchCoreWithoutDelegate);
}

void InstallCheckManager::setRepairPause(std::chrono::milliseconds pause)
{
    m_repairPause = pause;
}
