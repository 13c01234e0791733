#include "Quorbel_LauncherAppDelegate.h"

#include "Alert.h"
#include "Application.h"
#include "BrandingManager.h"
#include "Bundle.h"
#include "Configuration.h"
#include "FileManager.h"
#include "InstallCheckManager.h"
#include "LocalizedString.h"
#include "LogFilePruning.h"
#include "Logging.h"
#include "MoveToApplicationsFolder.h"
#include "ProcessUtilities.h"
#include "PropertyList.h"
#include "QuorbelHeaderView.h"
#include "SystemLocations.h"
#include "UserDefaults.h"
#include "Versions.h"
#include "Workspace.h"

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
        return u'"' + value.toString() + u'"';
    case QMetaType::QVariantList:
        return QStringLiteral("an array");
    case QMetaType::QVariantMap:
        return QStringLiteral("a dictionary");
    default:
        return value.isValid() ? QStringLiteral("a value that is not text") : QStringLiteral("no value");
    }
}

} // namespace

Quorbel_LauncherAppDelegate::Quorbel_LauncherAppDelegate()
{
    gDelegate = this;
    QuorbelHeaderView::setConfiguredBrandSource([] {
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
    QStringList enclosingFolders;
    searchFolderForIdent(ident, fromPath, foundPaths, &enclosingFolders);
}

// Linked folders are searched too, so a link back to a folder that encloses it
// would repeat the search until paths grow too long, and two such links make
// that exponential: a folder already being searched is not entered again.
void Quorbel_LauncherAppDelegate::searchFolderForIdent(const QString& ident, const QString& fromPath,
                                                       std::optional<QStringList>* foundPaths,
                                                       QStringList* enclosingFolders)
{
    const QString canonical = QFileInfo(fromPath).canonicalFilePath();
    if (canonical.isEmpty() || enclosingFolders->contains(canonical))
        return;
    enclosingFolders->append(canonical);
    for (const QString& name : platform::files::contentsOfDirectory(fromPath)) {
        const QString path = fromPath + u'/' + name;
        const qsizetype suffix = name.indexOf(QStringLiteral(".app"), 0, Qt::CaseInsensitive);
        if (suffix >= 0 && suffix + 4 == name.size()) {
            // Any bundle may sit here: one whose Info.plist is refused is
            // passed over and named, never waited on.
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
        } else if (platform::files::isDirectory(path)) {
            searchFolderForIdent(ident, path, foundPaths, enclosingFolders);
        }
    }
    enclosingFolders->removeLast();
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
    const QString stdioLevel = loggingLevelSetting(QStringLiteral("StdioLogging"), &problems);
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
    if (!userFolders.isEmpty())
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
    startUp();
    const QString productName = QBLocalizedString(QStringLiteral("ProductName"));
    logNormal("%1 did begin launching...", productName);

    if (!ensureCoreNotRunning())
        return;

    PFAltDstBundleName(productName);
    PFAlsoRemoveBundles(collectEarlierCopies(productName));
    PFMoveToApplicationsFolderIfNecessary();
    if (platform::application::isTerminating())
        return;

    logNormal("%1 did finish launching", productName);
    if (InstallCheckManager::sharedManager().checkForRequiredItems())
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
    platform::AlertPresenter::shared().runModal(alert);
    logNormal("User did quit");
    platform::application::terminate();
    return false;
}

void Quorbel_LauncherAppDelegate::launchCore()
{
    const QString productName = QBLocalizedString(QStringLiteral("ProductName"));
    const QString coreName = qbFormat("%1Core", productName);
    QString core = platform::Bundle::mainBundle().pathForResource(coreName, QStringLiteral("app"));
    if (core.isEmpty())
        core = platform::Bundle::mainBundle().resourcePath() + u'/' + coreName + QStringLiteral(".app");
    const QString path = qbFormat("%1/Contents/MacOS/%2", core, coreName);
    logNormal("Launching \"%1\"...", path);
    const bool launched = platform::workspace::launchApplication(path);
    if (!launched)
        logError("Could not start \"%1\"", path);
    logNormal("Launched \"%1\"", path);
    if (!launched)
        reportCoreNotStarted(path);
    logNormal("Will terminate now");
    platform::application::terminate(launched ? 0 : 1);
}

// Nothing runs when the core does not start: the user must hear of it.
void Quorbel_LauncherAppDelegate::reportCoreNotStarted(const QString& path)
{
    const QFileInfo core(path);
    platform::AlertRequest alert;
    alert.messageText = QBLocalizedString(QStringLiteral("{#ProductName#} cannot start"));
    alert.informativeText = core.isFile() && core.isExecutable()
        ? QBLocalizedStringWithArguments(QStringLiteral("\"%@\" could not be started."), path)
        : QBLocalizedStringWithArguments(
              QStringLiteral("\"%@\" is missing or cannot be run. Reinstall {#ProductName#} to repair it."), path);
    alert.buttonTitles = {QBLocalizedString(QStringLiteral("OK"))};
    platform::AlertPresenter::shared().runModal(alert);
}

int Quorbel_LauncherAppDelegate::brandId() const
{
    return intValue(config.value(QStringLiteral("Brand")).toString());
}
