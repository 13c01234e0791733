#include "Quorbel_LauncherAppDelegate.h"

#include "Alert.h"
#include "Application.h"
#include "Authorization.h"
#include "BrandingManager.h"
#include "Bundle.h"
#include "Configuration.h"
#include "ExitStatus.h"
#include "FileManager.h"
#include "InstallCheckManager.h"
#include "LocalizedString.h"
#include "LogFilePruning.h"
#include "Logging.h"
#include "MoveToApplicationsFolder.h"
#include "ProcessUtilities.h"
#include "PropertyList.h"
#include "SingleInstance.h"
#include "SystemLocations.h"
#include "UserDefaults.h"
#include "Versions.h"
#include "WindowSystem.h"
#include "Workspace.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

Quorbel_LauncherAppDelegate* gDelegate = nullptr;

// Used when Defaults.plist is missing or lacks a level, so that a damaged
// bundle still starts and says what is wrong.
const QVariantMap kBuiltInDefaults{
    {QStringLiteral("FileLogging"), QStringLiteral("normal")},
    {QStringLiteral("StdioLogging"), QStringLiteral("normal")},
};

QVariantMap readResourceDictionary(const QString& name, QString* error)
{
    const QString path = platform::Bundle::mainBundle().pathForResource(name, QStringLiteral("plist"));
    if (path.isEmpty()) {
        *error = qbFormat("%1.plist is missing from the resources", name);
        return {};
    }
    QString why;
    const QVariantMap map = platform::readPropertyListDictionary(path, &why);
    if (!why.isEmpty())
        *error = qbFormat("%1 is unreadable: %2", path, why);
    return map;
}

bool isLevelName(const QVariant& value)
{
    static const QStringList names{QStringLiteral("error"), QStringLiteral("normal"), QStringLiteral("verbose"),
                                   QStringLiteral("detailed")};
    return value.typeId() == QMetaType::QString && names.contains(value.toString());
}

QString describeSetting(const QVariant& value)
{
    switch (value.typeId()) {
    case QMetaType::QString:
        return u'"' + escapedForLog(value.toString()) + u'"';
    case QMetaType::QVariantList:
        return QStringLiteral("an array");
    case QMetaType::QVariantMap:
        return QStringLiteral("a dictionary");
    default:
        return value.isValid() ? QStringLiteral("a value that is not text") : QStringLiteral("no value");
    }
}

// A folder reachable by many paths (links, links back up) is searched once,
// links never lead the search out of the folder it was asked to search (a
// link to /sys would take it for ever; one in the local Applications folder
// would act for every user), and the depth is bounded.
struct IdentifierSearch {
    static constexpr int kMaxDepth = 8;

    QString ident;
    QString root; // resolved
    std::optional<QStringList>* foundPaths;
    QList<platform::files::FileIdentity> searched;

    bool staysInside(const QString& path) const
    {
        const QString real = QFileInfo(path).canonicalFilePath();
        return real == root || real.startsWith(root == QStringLiteral("/") ? root : root + u'/');
    }

    void searchFolder(const QString& folder, int depth)
    {
        const auto identity = platform::files::identityOf(folder);
        if (!identity || searched.contains(*identity))
            return;
        searched.append(*identity);
        QList<QByteArray> undecodable;
        const QStringList names = platform::files::listDirectory(folder, &undecodable).value_or(QStringList());
        for (const QByteArray& name : undecodable)
            logNormal("Skipping \"%1/%2\" in the search for earlier copies: the name is not UTF-8", folder,
                      QString::fromLatin1(name.toPercentEncoding("/ ")));
        for (const QString& name : names) {
            const QString path = folder + u'/' + name;
            const auto attributes = platform::files::attributesOfItem(path);
            if (attributes && attributes->isSymbolicLink && !staysInside(path)) {
                logVerbose("Not following \"%1\": it leads out of \"%2\"", path, root);
                continue;
            }
            const qsizetype suffix = name.indexOf(QStringLiteral(".app"), 0, Qt::CaseInsensitive);
            if (suffix >= 0 && suffix + 4 == name.size()) {
                checkBundle(path);
            } else if (platform::files::isDirectory(path)) {
                if (depth < kMaxDepth)
                    searchFolder(path, depth + 1);
                else
                    logVerbose("Not searching \"%1\": deeper than %2 folders", path, kMaxDepth);
            }
        }
    }

    // Any bundle may sit here: one whose Info.plist is refused is passed over
    // and named, never waited on.
    void checkBundle(const QString& path)
    {
        const QString infoPath = path + QStringLiteral("/Contents/Info.plist");
        QString why;
        const QVariantMap info = platform::readPropertyListDictionary(infoPath, &why);
        if (!why.isEmpty() && QFileInfo(infoPath).exists())
            logError("Skipping \"%1\" in the search for earlier copies: %2", infoPath, why);
        if (foundPaths && info.value(QStringLiteral("CFBundleIdentifier")).toString() == ident) {
            if (!foundPaths->has_value())
                foundPaths->emplace();
            (*foundPaths)->append(path);
        }
    }
};

// Once per run, on the terminal and in the log: every window the launch asks
// for afterwards is refused for this same reason.
void reportWindowsUnavailable(platform::windowsystem::Problem problem, const QString& why)
{
    const QString text = problem == platform::windowsystem::Problem::Display
                             ? qbFormat("no display: %1; --check and --repair work without one", why)
                             : qbFormat("the windows module cannot be used: %1", why);
    NSPrintErrf("%1: %2", QFileInfo(QCoreApplication::applicationFilePath()).fileName(), text);
    logToFileOnly(kLogLevelError, text);
}

} // namespace

Quorbel_LauncherAppDelegate::Quorbel_LauncherAppDelegate()
{
    gDelegate = this;
    BrandingManager::setConfiguredBrandSource([] {
        const Quorbel_LauncherAppDelegate* delegate = applicationDelegate();
        return delegate ? delegate->brandId() : 0;
    });
}

Quorbel_LauncherAppDelegate::~Quorbel_LauncherAppDelegate()
{
    if (gDelegate == this)
        gDelegate = nullptr;
}

Quorbel_LauncherAppDelegate* Quorbel_LauncherAppDelegate::applicationDelegate()
{
    return gDelegate;
}

void Quorbel_LauncherAppDelegate::pathsForIdent(const QString& ident, const QString& fromPath,
                                                std::optional<QStringList>* foundPaths)
{
    IdentifierSearch search{ident, QFileInfo(fromPath).canonicalFilePath(), foundPaths, {}};
    if (!search.root.isEmpty())
        search.searchFolder(fromPath, 0);
}

QStringList Quorbel_LauncherAppDelegate::earlierCopyPaths(const QString& productName)
{
    QStringList paths;
    for (const char* name : {"%1", "%1 Client"}) {
        for (const char* folder : {"~/Applications", "/Applications"}) {
            const QString base = qbFormat("%1/%2", folder, qbFormat(name, productName));
            paths.append(base + QStringLiteral(".app"));
            for (int copy = 1; copy <= 5; ++copy)
                paths.append(qbFormat("%1-%2.app", base, copy));
        }
    }
    return paths;
}

void Quorbel_LauncherAppDelegate::registerDefaults()
{
    config = readResourceDictionary(QStringLiteral("Config"), &m_configError);
    QVariantMap defaults = readResourceDictionary(QStringLiteral("Defaults"), &m_defaultsError);
    for (auto it = kBuiltInDefaults.cbegin(); it != kBuiltInDefaults.cend(); ++it) {
        if (defaults.value(it.key()).toString().isEmpty()) {
            if (m_defaultsError.isEmpty())
                m_defaultsError = qbFormat("Defaults.plist has no \"%1\"", it.key());
            defaults.insert(it.key(), it.value());
        }
    }
    m_registeredDefaults = defaults;
    platform::UserDefaults::standardUserDefaults().registerDefaults(defaults);
}

// The level the settings give for `key`; a value that names no level (empty,
// an array, a dictionary, a misspelling) yields the registered default, and
// `problems` says so: a bad setting must not keep the product from starting.
QString Quorbel_LauncherAppDelegate::loggingLevelSetting(const QString& key, QStringList* problems) const
{
    const QVariant value = platform::UserDefaults::standardUserDefaults().objectForKey(key);
    if (isLevelName(value))
        return value.toString();
    const QVariant registered = m_registeredDefaults.value(key);
    const QString fallback = isLevelName(registered) ? registered.toString() : kBuiltInDefaults.value(key).toString();
    problems->append(qbFormat("Invalid logging level %1 for \"%2\" in the user defaults; using \"%3\"",
                              describeSetting(value), key, fallback));
    return fallback;
}

void Quorbel_LauncherAppDelegate::startLogging()
{
    QStringList problems;
    const QString fileLevel = loggingLevelSetting(QStringLiteral("FileLogging"), &problems);
    QString stdioLevel = loggingLevelSetting(QStringLiteral("StdioLogging"), &problems);
    if (!m_terminalLevel.isEmpty())
        stdioLevel = m_terminalLevel;
    const QString productName = QBLocalizedString(QStringLiteral("ProductName"));
    try {
        m_logFilePath = initLogging3(fileLevel, stdioLevel, QString(), productName, productName);
    } catch (const QBException& fault) {
        // An unusable log folder must not keep the product from starting: say
        // so and log to the terminal only.
        NSPrintErrf("%1: %2", fault.name(), fault.reason());
        initLogging2(fileLevel, stdioLevel, QString());
        logError("Logging to the terminal only: no log file could be opened");
    }
    for (const QString& problem : problems)
        logError("%1", problem);
}

void Quorbel_LauncherAppDelegate::reportConfigurationProblems()
{
    const platform::Bundle& bundle = platform::Bundle::mainBundle();
    if (!bundle.infoDictionaryError().isEmpty())
        logError("Cannot read %1: %2", bundle.infoPlistPath(), bundle.infoDictionaryError());
    if (!bundle.stringsTableError().isEmpty())
        logError("Cannot use the strings table (%1); texts fall back to their keys", bundle.stringsTableError());
    if (!m_configError.isEmpty())
        logError("%1; using no configuration", m_configError);
    if (!m_defaultsError.isEmpty())
        logError("%1; using built-in logging defaults", m_defaultsError);
    const QString productNameProblem = BrandingManager::sharedManager().productNameProblem();
    if (!productNameProblem.isEmpty())
        logError("%1", productNameProblem);
}

QStringList Quorbel_LauncherAppDelegate::collectEarlierCopies(const QString& productName) const
{
    std::optional<QStringList> found = QStringList();
    const QString identifier = QString::fromLatin1(kClientBundleIdentifier);
    const QStringList userFolders = platform::locations::applicationsFolders(platform::Domain::User);
    if (!platform::locations::homeFolderIsExact())
        logError("Not searching the home folder for earlier copies: its path is not UTF-8");
    else if (!userFolders.isEmpty())
        pathsForIdent(identifier, userFolders.last(), &found);
    const QStringList localFolders = platform::locations::applicationsFolders(platform::Domain::Local);
    if (!localFolders.isEmpty())
        pathsForIdent(identifier, localFolders.last(), &found);
    QStringList paths = *found;
    // The table names absolute system folders; they live under the system root.
    for (const QString& path : earlierCopyPaths(productName))
        paths.append(path.startsWith(u'/') ? platform::locations::systemPath(path) : path);
    return paths;
}

// A path that is not UTF-8 cannot be named exactly: every resource read
// through it would come from whatever its lossy text names instead.
bool Quorbel_LauncherAppDelegate::refuseInexactBundlePath()
{
    if (platform::Bundle::mainBundlePathIsExact())
        return false;
    const QString path = platform::Bundle::mainBundle().bundlePath();
    NSPrintErrf("Refusing to run: the path of the application \"%1\" is not UTF-8", path);
    // Not from the strings table: it would be read through the same path.
    platform::AlertRequest alert;
    alert.messageText = QStringLiteral("This application cannot run from its folder");
    alert.informativeText = QStringLiteral("The name of a folder in its path is not valid UTF-8. "
                                           "Rename that folder or move the application, then open it again.");
    alert.buttonTitles = {QStringLiteral("Quit")};
    if (platform::windowsystem::load())
        platform::AlertPresenter::shared().runModal(alert);
    platform::application::terminate(ExitStatus::kCannotLaunch);
    return true;
}

// A second launcher of this user on this display hands over to the first and
// ends; without a usable lock folder the launch goes on unguarded.
bool Quorbel_LauncherAppDelegate::claimLauncher()
{
    const platform::instance::Claim claim = platform::instance::claim(QString::fromLatin1(kClientBundleIdentifier), [] {
        const bool raised = platform::windowsystem::raiseWindows();
        logNormal("Another launcher was started; %1",
                  raised ? "brought this one's window to the front" : "this window cannot be brought to the front here");
    });
    switch (claim.outcome) {
    case platform::instance::Claim::Outcome::Held:
        return true;
    case platform::instance::Claim::Outcome::NoLock:
        logError("Running without the one-launcher lock: %1", claim.why);
        return true;
    case platform::instance::Claim::Outcome::HeldByAnother:
        break;
    }
    QString why;
    if (platform::instance::askHolderToRaise(claim, &why))
        logNormal("Another launcher is running (\"%1\" is held); asked it to come to the front and ending", claim.path);
    else
        logNormal("Another launcher is running (\"%1\" is held) and cannot be asked to come to the front (%2); ending",
                  claim.path, why);
    platform::application::terminate(ExitStatus::kDone);
    return false;
}

void Quorbel_LauncherAppDelegate::startUp()
{
    registerDefaults();
    startLogging();
    reportConfigurationProblems();
    const QString productName = QBLocalizedString(QStringLiteral("ProductName"));
    logNormal("%1 version %2", productName, versionOfThisAppAsString(true));
    pruneLogFilesIfAsked(m_logFilePath, productName);
}

void Quorbel_LauncherAppDelegate::applicationDidFinishLaunching()
{
    platform::windowsystem::whenUnavailable(reportWindowsUnavailable);
    if (refuseInexactBundlePath())
        return;
    startUp();
    const QString productName = QBLocalizedString(QStringLiteral("ProductName"));
    logNormal("%1 did begin launching...", productName);
    if (!claimLauncher())
        return;

    if (!ensureCoreNotRunning())
        return;

    PFAltDstBundleName(productName);
    PFAlsoRemoveBundles(collectEarlierCopies(productName));
    PFMoveToApplicationsFolderIfNecessary();
    if (platform::application::isTerminating())
        return;

    logNormal("%1 did finish launching", productName);
    InstallCheckManager& installCheck = InstallCheckManager::sharedManager();
    installCheck.setLaunchCoreFunction([this] { launchCore(); });
    if (installCheck.checkForRequiredItems())
        launchCore();
}

bool Quorbel_LauncherAppDelegate::ensureCoreNotRunning()
{
    const QString coreName = qbFormat("%1Core", QBLocalizedString(QStringLiteral("ProductName")));
    if (!ProcessUtilities::quorbelCoreAlreadyRunning(coreName))
        return true;
    platform::AlertRequest alert;
    alert.messageText = QBLocalizedString(QStringLiteral("QuorbelLauncher_AlreadyRunning"));
    alert.informativeText = QBLocalizedString(QStringLiteral("QuorbelLauncher_YouMustQuit"));
    alert.buttonTitles = {QBLocalizedString(QStringLiteral("Quit"))};
    logNormal("Letting other copy run, we will terminate");
    if (!platform::windowsystem::load()) {
        logError("The alert that another copy is running cannot be shown");
        platform::application::terminate(ExitStatus::forUnavailableWindows());
        return false;
    }
    const platform::AlertResponse answer = platform::AlertPresenter::shared().runModal(alert);
    if (answer.button == 0)
        logNormal("User did quit");
    else
        logNormal("The alert that another copy is running ended without an answer");
    platform::application::terminate();
    return false;
}

// A window, an alert or a repair may have waited long enough for a core to
// start meanwhile (a second launcher, the user); a launch that waited for
// nothing was checked a moment ago. Only a launch that loaded the windows
// showed one.
bool Quorbel_LauncherAppDelegate::coreStartedWhileWaiting()
{
    if (!platform::windowsystem::alerts())
        return false;
    const QString coreName = qbFormat("%1Core", QBLocalizedString(QStringLiteral("ProductName")));
    logVerbose("Looking once more for a running core: the launch waited");
    if (!ProcessUtilities::quorbelCoreAlreadyRunning(coreName))
        return false;
    logNormal("Not launching: a core started while the launcher waited");
    return true;
}

QString Quorbel_LauncherAppDelegate::coreExecutablePath()
{
    const QString coreName = qbFormat("%1Core", QBLocalizedString(QStringLiteral("ProductName")));
    QString core = platform::Bundle::mainBundle().pathForResource(coreName, QStringLiteral("app"));
    if (core.isEmpty())
        core = platform::Bundle::mainBundle().resourcePath() + u'/' + coreName + QStringLiteral(".app");
    return qbFormat("%1/Contents/MacOS/%2", core, coreName);
}

QString Quorbel_LauncherAppDelegate::whyCoreCannotStart()
{
    const QString path = coreExecutablePath();
    const QFileInfo executable(path);
    if (!executable.exists())
        return qbFormat("the core's executable \"%1\" is missing", path);
    if (!executable.isFile() || !executable.isExecutable())
        return qbFormat("the core's executable \"%1\" cannot be run", path);
    const QString infoPlist = QFileInfo(executable.path()).path() + QStringLiteral("/Info.plist");
    if (!QFileInfo(infoPlist).isFile())
        return qbFormat("the core's \"%1\" is missing", infoPlist);
    return {};
}

void Quorbel_LauncherAppDelegate::launchCore()
{
    const QString path = coreExecutablePath();
    if (coreStartedWhileWaiting()) {
        logNormal("Will terminate now");
        platform::application::terminate(ExitStatus::kDone);
        return;
    }
    logNormal("Launching \"%1\"...", path);
    // Reached without a link: a root-owned install never starts a file its tree only points to.
    const QString bundle = platform::Bundle::mainBundle().bundlePath();
    QString why = QStringLiteral("not inside \"%1\"").arg(bundle);
    const bool plain = path.startsWith(bundle + u'/')
                       && platform::isPlainFileInBundle(bundle, path.mid(bundle.size() + 1), &why);
    if (!plain)
        logError("Not starting \"%1\": %2", path, why);
    const bool launched = plain && platform::workspace::launchApplication(path);
    if (launched) {
        logNormal("Launched \"%1\"", path);
        updateDesktopIntegration();
    } else {
        logError("Could not start \"%1\"", path);
        reportCoreNotStarted(path);
    }
    logNormal("Will terminate now");
    platform::application::terminate(launched ? ExitStatus::kDone : ExitStatus::kCannotLaunch);
}

// Nothing runs when the core does not start: the user must hear of it.
void Quorbel_LauncherAppDelegate::reportCoreNotStarted(const QString& path)
{
    const QFileInfo core(path);
    platform::AlertRequest alert;
    alert.messageText = QBLocalizedString(QStringLiteral("{#ProductName#} cannot start"));
    alert.informativeText
        = core.isFile() && core.isExecutable()
              ? QBLocalizedStringWithArguments(QStringLiteral("\"%@\" could not be started."), path)
              : QBLocalizedStringWithArguments(
                  QStringLiteral("\"%@\" is missing or cannot be run. Reinstall {#ProductName#} to repair it."), path);
    alert.buttonTitles = {QBLocalizedString(QStringLiteral("OK"))};
    platform::AlertPresenter::shared().runModal(alert);
}

std::optional<platform::desktop::Copy> Quorbel_LauncherAppDelegate::desktopCopy()
{
    if (!platform::Bundle::mainBundlePathIsExact())
        return std::nullopt;
    const platform::Bundle& bundle = platform::Bundle::mainBundle();
    const QString identifier = bundle.bundleIdentifier();
    return platform::desktop::Copy{identifier.isEmpty() ? QString::fromLatin1(kClientBundleIdentifier) : identifier,
                                   QBLocalizedString(QStringLiteral("ProductName")), QFile::encodeName(bundle.bundlePath()),
                                   QFile::encodeName(bundle.executablePath()), bundle.resourcePath()};
}

// After the core has started, so that the menu never delays it; a current
// entry costs a few reads.
void Quorbel_LauncherAppDelegate::updateDesktopIntegration()
{
    const std::optional<platform::desktop::Copy> copy = desktopCopy();
    if (!copy)
        return;
    const QString folder = QDir::cleanPath(QFileInfo(platform::Bundle::mainBundle().bundlePath()).path());
    bool inApplications = false;
    for (const platform::Domain domain : {platform::Domain::User, platform::Domain::Local})
        inApplications = inApplications || platform::locations::applicationsFolders(domain).contains(folder);
    QString why;
    switch (platform::desktop::refresh(*copy, inApplications, &why)) {
    case platform::desktop::Outcome::Written:
        logVerbose("Wrote the desktop entry \"%1\"", platform::desktop::entryPath(copy->identifier));
        break;
    case platform::desktop::Outcome::Removed:
        logVerbose("Removed the desktop entry of a copy that is gone: \"%1\"",
                   platform::desktop::entryPath(copy->identifier));
        break;
    case platform::desktop::Outcome::Refused:
        logError("Desktop entry not written: %1", why);
        break;
    case platform::desktop::Outcome::Unchanged:
        break;
    }
}

int Quorbel_LauncherAppDelegate::brandId() const
{
    return intValue(config.value(QStringLiteral("Brand")).toString());
}
