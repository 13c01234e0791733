#include "CommandLine.h"

#include "Bundle.h"
#include "DesktopIntegration.h"
#include "FolderWalk.h"
#include "InstallCheckManager.h"
#include "KeyConstants.h"
#include "LocalizedString.h"
#include "Logging.h"
#include "Quorbel_LauncherAppDelegate.h"
#include "SupportArchive.h"
#include "SystemLocations.h"
#include "UpdateToolManager.h"
#include "UserDefaults.h"
#include "Versions.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace CommandLine {
namespace {

// Qt's own options (one dash or two) and whether the next argument is their value.
int qtOptionArity(const QString& argument)
{
    static const QStringList withValue{QStringLiteral("platform"),
                                       QStringLiteral("platformpluginpath"),
                                       QStringLiteral("platformtheme"),
                                       QStringLiteral("plugin"),
                                       QStringLiteral("qwindowgeometry"),
                                       QStringLiteral("qwindowicon"),
                                       QStringLiteral("qwindowtitle"),
                                       QStringLiteral("session"),
                                       QStringLiteral("style"),
                                       QStringLiteral("stylesheet"),
                                       QStringLiteral("display"),
                                       QStringLiteral("geometry"),
                                       QStringLiteral("title"),
                                       QStringLiteral("name"),
                                       QStringLiteral("icon"),
                                       QStringLiteral("visual"),
                                       QStringLiteral("ncols"),
                                       QStringLiteral("graphicssystem"),
                                       QStringLiteral("qmljsdebugger")};
    static const QStringList withoutValue{
        QStringLiteral("reverse"), QStringLiteral("widgetcount"), QStringLiteral("nograb"),     QStringLiteral("dograb"),
        QStringLiteral("sync"),    QStringLiteral("cmap"),        QStringLiteral("testability")};
    if (!argument.startsWith(u'-'))
        return -1;
    QString name = argument.mid(argument.startsWith(QStringLiteral("--")) ? 2 : 1);
    const qsizetype equals = name.indexOf(u'=');
    if (equals >= 0)
        return withValue.contains(name.left(equals)) ? 0 : -1;
    if (withValue.contains(name))
        return 1;
    return withoutValue.contains(name) ? 0 : -1;
}

Request usageProblem(const QString& problem)
{
    Request request;
    request.command = Command::Usage;
    request.problem = problem;
    return request;
}

// The check report's format: raised only when a reader of the old one would misread the new.
constexpr int kCheckReportFormat = 1;

struct StatusWords {
    const char* word; // the manifest's, as the text lines print it
    const char* code; // for scripts, in the JSON report
    QString text;     // as stored (localised)
};

QList<StatusWords> statusWords()
{
    return {
        {"OK", "ok", InstallCheckManager::statusOK()},
        {"Missing", "missing", InstallCheckManager::statusMissing()},
        {"Old Version", "old-version", InstallCheckManager::statusOldVersion()},
        {"Invalid", "invalid", InstallCheckManager::statusInvalid()},
        {"Wrong Permissions", "wrong-permissions", InstallCheckManager::statusWrongPermissions()},
        {"Not Required", "not-required", InstallCheckManager::statusNotRequired()},
    };
}

// The status word of the manifest for a status text as stored (localised).
QString statusWord(const QString& status)
{
    for (const StatusWords& words : statusWords()) {
        if (status == words.text)
            return QString::fromLatin1(words.word);
    }
    return status;
}

QString statusCode(const QString& status)
{
    for (const StatusWords& words : statusWords()) {
        if (status == words.text)
            return QString::fromLatin1(words.code);
    }
    return QStringLiteral("invalid"); // no evaluator stores another text
}

bool inOrder(const InstallCheckManager& manager)
{
    return manager.repairsRequired() == 0 && manager.itemsMissing() == 0;
}

QString productName()
{
    return QBLocalizedString(QStringLiteral("ProductName"));
}

// Our own standard output. Log lines and the output of every child (the
// update tool, installed tools asked for their versions) go to standard
// error, so what we print, a JSON document above all, stays clean.
class Output {
public:
    Output()
    {
        std::fflush(stdout);
        const int saved = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
        if (saved >= 0 && ::dup2(STDERR_FILENO, STDOUT_FILENO) >= 0)
            m_out = ::fdopen(saved, "w");
        else if (saved >= 0)
            ::close(saved);
    }
    ~Output()
    {
        if (m_out)
            std::fclose(m_out);
    }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    void line(const QString& text)
    {
        if (!m_out)
            return;
        const QByteArray bytes = text.toUtf8() + '\n';
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), m_out);
        std::fflush(m_out); // progress is read as it happens
    }
    void write(const QByteArray& bytes)
    {
        if (!m_out)
            return;
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), m_out);
        std::fflush(m_out);
    }

private:
    FILE* m_out = nullptr;
};

// Once on the terminal, plain; the log file keeps it with the rest.
void printError(const QString& text)
{
    NSPrintErrfString(text);
    logToFileOnly(kLogLevelError, text);
}

// What the launch will hit that the item's status does not show: the core's
// status is about its permissions, not whether it can be started at all.
QString noteFor(const QVariantMap& item)
{
    const bool isTheCore = item.value(kInstallType).toString() == QLatin1String("CoreApp")
                           && item.value(kName).toString() == qbFormat("%1Core", productName());
    return isTheCore ? Quorbel_LauncherAppDelegate::whyCoreCannotStart() : QString();
}

bool anyNote(const InstallCheckManager& manager)
{
    for (const QVariant& item : manager.items()) {
        if (!noteFor(item.toMap()).isEmpty())
            return true;
    }
    return false;
}

QStringList checkLines(const InstallCheckManager& manager)
{
    QStringList lines;
    for (qsizetype i = 0; i < manager.items().size(); ++i) {
        const QVariantMap item = manager.items().at(i).toMap();
        lines.append(QStringList{item.value(kInstallType).toString(), item.value(kName).toString(),
                                 statusWord(manager.statuses().value(i)), item.value(kInstallPath).toString(), noteFor(item)}
                         .join(u'\t'));
    }
    return lines;
}

QJsonValue textOrNull(const QString& text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QString manifestWord(InstallCheckManager::ManifestState state)
{
    switch (state) {
    case InstallCheckManager::ManifestState::Read:
        return QStringLiteral("ok");
    case InstallCheckManager::ManifestState::Missing:
        return QStringLiteral("missing");
    case InstallCheckManager::ManifestState::Unreadable:
        break;
    }
    return QStringLiteral("unreadable");
}

QJsonObject itemJson(const InstallCheckManager& manager, qsizetype i)
{
    const QVariantMap item = manager.items().at(i).toMap();
    const auto text = [&item](const QString& key) {
        return item.contains(key) ? QJsonValue(item.value(key).toString()) : QJsonValue(QJsonValue::Null);
    };
    const QString status = manager.statuses().value(i);
    return QJsonObject{{QStringLiteral("type"), text(kInstallType)},
                       {QStringLiteral("name"), text(kName)},
                       {QStringLiteral("status"), statusWord(status)},
                       {QStringLiteral("statusCode"), statusCode(status)},
                       {QStringLiteral("reason"), textOrNull(manager.reasons().value(i))},
                       {QStringLiteral("installPath"), text(kInstallPath)},
                       {QStringLiteral("resolvedPath"), textOrNull(manager.examinedPaths().value(i))},
                       {QStringLiteral("note"), textOrNull(noteFor(item))}};
}

// The check report; an unreadable manifest gives a whole report without items.
QJsonObject checkReport(const InstallCheckManager& manager)
{
    const bool readable = manager.manifestState() != InstallCheckManager::ManifestState::Unreadable;
    QJsonArray items;
    for (qsizetype i = 0; readable && i < manager.items().size(); ++i)
        items.append(itemJson(manager, i));
    int32_t major = 0, minor = 0, bugfix = 0;
    const QJsonValue systemVersion = InstallCheckManager::getMacOSXVersion(&major, &minor, &bugfix)
                                         ? QJsonValue(qbFormat("%1.%2.%3", major, minor, bugfix))
                                         : QJsonValue(QJsonValue::Null);
    const bool manifestRead = manager.manifestState() == InstallCheckManager::ManifestState::Read;
    return QJsonObject{
        {QStringLiteral("formatVersion"), kCheckReportFormat},
        {QStringLiteral("inOrder"), readable && inOrder(manager) && !anyNote(manager)},
        {QStringLiteral("manifest"), manifestWord(manager.manifestState())},
        {QStringLiteral("manifestError"), manifestRead ? QJsonValue(QJsonValue::Null) : QJsonValue(manager.manifestError())},
        {QStringLiteral("version"), versionOfThisAppAsString(true)},
        {QStringLiteral("systemVersion"), systemVersion},
        {QStringLiteral("items"), items},
        {QStringLiteral("numberRepairsRequired"), int(manager.repairsRequired())},
        {QStringLiteral("numberItemsMissing"), int(manager.itemsMissing())},
        {QStringLiteral("fileSystemRepairRequired"), manager.macFuseRepairRequired()},
        {QStringLiteral("helperRepairRequired"), manager.helperRepairRequired()},
    };
}

QByteArray checkJson(const InstallCheckManager& manager)
{
    return QJsonDocument(checkReport(manager)).toJson(QJsonDocument::Indented);
}

// The manager with its statuses fresh, or null (and the reason printed)
// when the manifest exists but cannot be used.
InstallCheckManager* checkedManager()
{
    InstallCheckManager& manager = InstallCheckManager::sharedManager();
    if (manager.manifestState() == InstallCheckManager::ManifestState::Unreadable) {
        printError(qbFormat("The required-items manifest is not a readable property list with a \"RequiredItems\" "
                            "array; see the log \"%1\"",
                            getLogFilePath()));
        return nullptr;
    }
    manager.updateStatus();
    return &manager;
}

QString refusalForRootCheck(const InstallCheckManager& manager);

int runCheck(const Request& request, Output& out)
{
    InstallCheckManager& shared = InstallCheckManager::sharedManager();
    if (::geteuid() == 0 && shared.manifestState() != InstallCheckManager::ManifestState::Unreadable) {
        const QString refusal = refusalForRootCheck(shared);
        if (!refusal.isEmpty()) {
            printError(qbFormat("Refusing to check as root: %1", refusal));
            return kExitFailure;
        }
    }
    InstallCheckManager* manager = checkedManager();
    if (!manager) {
        if (request.json)
            out.write(checkJson(shared));
        return kExitFailure;
    }
    if (request.json)
        out.write(checkJson(*manager));
    else
        for (const QString& line : checkLines(*manager))
            out.line(line);
    return inOrder(*manager) && !anyNote(*manager) ? kExitInOrder : kExitNotInOrder;
}

// Why `path` cannot be trusted by root: the first path on the way to it
// (resolved) that anyone but root could change, being not owned by root or
// writable by its group or by others. "" when there is none.
QString whyNotTrusted(const QString& path)
{
    QString current = QFileInfo(path).canonicalFilePath();
    if (current.isEmpty())
        return qbFormat("\"%1\" cannot be examined", path);
    for (;;) {
        struct stat status {};
        if (::lstat(QFile::encodeName(current).constData(), &status) != 0)
            return qbFormat("\"%1\" cannot be examined", current);
        if (status.st_uid != 0 || (status.st_mode & (S_IWGRP | S_IWOTH)) != 0)
            return qbFormat("\"%1\" can be changed by users other than root", current);
        if (current == QLatin1String("/"))
            return {};
        current = QFileInfo(current).path();
    }
}

// As root every repair runs with root rights at once: refuse when the bundle
// we would take tools and packages from could have been changed by others.
QString refusalForRoot(const InstallCheckManager& manager)
{
    QStringList paths{platform::Bundle::mainBundle().resourcePath()};
    for (const QVariant& entry : manager.items()) {
        const QVariantMap item = entry.toMap();
        if (item.value(kName).toString() == QLatin1String("updateqb"))
            paths.append(manager.pathToRequiredItemInResources(item));
    }
    for (const QString& path : paths) {
        if (path.isEmpty())
            continue;
        const QString why = whyNotTrusted(path);
        if (!why.isEmpty())
            return why;
    }
    return {};
}

// Why root may not read `path`, a file or a tree of the bundle: an entry
// that anyone but root could change, or a link that leads to such an entry.
QString whyNotRootOnlyTree(const QString& path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    QString why = platform::folders::whyNotRootOnly(canonical.isEmpty() ? path : canonical);
    if (!why.isEmpty() || !QFileInfo(canonical).isDir())
        return why;
    QDirIterator it(canonical, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    for (int entries = 0; it.hasNext() && why.isEmpty(); ++entries) {
        const QString entry = it.next();
        // A bundle of that size is not one this launcher ships.
        if (entries > 100000)
            return qbFormat("\"%1\" holds too many entries to examine", canonical);
        if (QFileInfo(entry).isSymLink()) {
            const QString target = QFileInfo(entry).canonicalFilePath();
            why = target.isEmpty() ? qbFormat("\"%1\" is a broken link", entry) : platform::folders::whyNotRootOnly(target);
        } else {
            why = platform::folders::whyNotRootOnly(entry);
        }
    }
    return why;
}

// Root reads the manifest, the bundle's Info.plist and every item's
// resource; the check runs the programs the manifest names and the repair
// installs the resources. None may come from a file anyone but root can change.
QString refusalForRootCheck(const InstallCheckManager& manager)
{
    const platform::Bundle& bundle = platform::Bundle::mainBundle();
    QStringList paths{bundle.infoPlistPath()};
    if (manager.manifestState() != InstallCheckManager::ManifestState::Missing)
        paths.append(bundle.resourcePath() + QStringLiteral("/RequiredItems.plist"));
    for (const QVariant& entry : manager.items()) {
        const QString resource = manager.pathToRequiredItemInResources(entry.toMap());
        if (!resource.isEmpty() && (QFileInfo::exists(resource) || QFileInfo(resource).isSymLink()))
            paths.append(resource);
    }
    for (const QString& path : paths) {
        const QString why = whyNotRootOnlyTree(path);
        if (!why.isEmpty())
            return why;
    }
    return {};
}

// What --repair --json prints: the repairs in order, then the check afterwards.
QByteArray repairJson(const QJsonArray& repairs, const InstallCheckManager& manager)
{
    const QJsonObject root{{QStringLiteral("formatVersion"), kCheckReportFormat},
                           {QStringLiteral("repairs"), repairs},
                           {QStringLiteral("check"), checkReport(manager)}};
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

QJsonObject repairEntry(const InstallCheckManager& manager, const QVariantMap& item, const QString& status, bool succeeded)
{
    const qsizetype index = manager.items().indexOf(item);
    return QJsonObject{{QStringLiteral("type"), item.value(kInstallType).toString()},
                       {QStringLiteral("name"), item.value(kName).toString()},
                       {QStringLiteral("status"), statusWord(status)},
                       {QStringLiteral("statusCode"), statusCode(status)},
                       {QStringLiteral("outcome"), succeeded ? QStringLiteral("repaired") : QStringLiteral("failed")},
                       {QStringLiteral("reason"), textOrNull(manager.reasons().value(index))}};
}

// A refusal of administrator rights has its own status and its own advice;
// anything else is a failed repair.
int refusalStatus(UpdateToolManager::Refusal refusal, QString* advice)
{
    using Refusal = UpdateToolManager::Refusal;
    switch (refusal) {
    case Refusal::Cancelled:
        *advice = QStringLiteral("the administrator prompt was dismissed; nothing was changed");
        return ExitStatus::kPromptDismissed;
    case Refusal::NotAuthorized:
        *advice = QStringLiteral("this account may not administer this computer; ask an administrator to run the repair");
        return ExitStatus::kNotAdministrator;
    case Refusal::NoPrompt:
        *advice = QStringLiteral("no administrator prompt can be shown (no polkit daemon or no authentication agent); "
                                 "run the repair as root, or start the desktop's authentication agent");
        return ExitStatus::kNoPrompt;
    default:
        return kExitNotInOrder;
    }
}

int runRepair(const Request& request, Output& out)
{
    InstallCheckManager* manager = checkedManager();
    if (!manager) {
        if (request.json)
            out.write(repairJson({}, InstallCheckManager::sharedManager()));
        return kExitFailure;
    }
    const bool asRoot = ::geteuid() == 0;
    if (asRoot) {
        QString refusal = refusalForRoot(*manager);
        if (refusal.isEmpty())
            refusal = refusalForRootCheck(*manager);
        if (!refusal.isEmpty()) {
            printError(qbFormat("Refusing to repair as root: %1", refusal));
            return kExitFailure;
        }
    }
    const auto printCheck = [&] {
        if (!request.json)
            for (const QString& line : checkLines(*manager))
                out.line(line);
    };
    QJsonArray repairs;
    if (inOrder(*manager)) {
        logNormal("Command line repair: every item is in order; nothing to repair");
        printCheck();
        if (request.json)
            out.write(repairJson(repairs, *manager));
        return kExitInOrder;
    }
    logNormal("Command line repair: items not in order: %1 (update tool repairs: %2)", manager->itemsMissing(),
              manager->repairsRequired());
    QString failed;
    const bool repaired = manager->performRepairRun(
        manager->repairRunForLastCheck(), [&](const QVariantMap& item, const QString& status, bool succeeded) {
            const QString type = item.value(kInstallType).toString();
            const QString name = item.value(kName).toString();
            repairs.append(repairEntry(*manager, item, status, succeeded));
            if (!request.json)
                out.line(QStringList{succeeded ? QStringLiteral("repaired") : QStringLiteral("failed"), type, name,
                                     statusWord(status)}
                             .join(u'\t'));
            if (!succeeded)
                failed = qbFormat("%1 \"%2\"", type, name);
        });
    if (!repaired) {
        QString text = failed.isEmpty() ? QStringLiteral("The repair run failed")
                                        : qbFormat("The repair of %1 failed; nothing after it was attempted", failed);
        const UpdateToolManager::LastRefusal last = UpdateToolManager::sharedManager().lastRefusal();
        QString advice;
        const int status = refusalStatus(last.refusal, &advice);
        if (!advice.isEmpty())
            text += QStringLiteral(": ") + advice;
        else if (!last.reason.isEmpty())
            text += QStringLiteral(": ") + last.reason;
        printError(qbFormat("%1; see the log \"%2\"", text, getLogFilePath()));
        if (request.json) {
            // The report says what the failed run left behind.
            manager->updateStatus();
            out.write(repairJson(repairs, *manager));
        }
        return status;
    }
    manager->updateStatus();
    printCheck();
    if (request.json)
        out.write(repairJson(repairs, *manager));
    if (!inOrder(*manager)) {
        printError(qbFormat("Items still not in order after the repair: %1", manager->itemsMissing()));
        return kExitNotInOrder;
    }
    return kExitInOrder;
}

int runSupportArchive(const Request& request, Output& out)
{
    InstallCheckManager& manager = InstallCheckManager::sharedManager();
    manager.updateStatus();
    const QString product = productName();
    SupportArchive::Contents contents;
    const QString logFile = getLogFilePath();
    contents.logFolder = logFile.isEmpty() ? platform::locations::expandTilde(qbFormat("~/Library/Logs/%1/%1", product))
                                           : QFileInfo(logFile).absolutePath();
    contents.productName = product;
    contents.coreLog = platform::locations::expandTilde(qbFormat("~/Library/Logs/%1/%1Core/%1Core.log", product));
    contents.settingsFile = platform::UserDefaults::standardUserDefaults().filePath();
    contents.checkJson = checkJson(manager);
    // A home named for support work is read as its owner keeps it.
    if (platform::locations::homeFolderIsExplicit())
        contents.logOwner = platform::folders::ownerOf(platform::locations::homeFolder());
    QString error;
    QStringList skipped;
    if (!SupportArchive::write(request.archivePath, contents, &error, &skipped)) {
        printError(qbFormat("Cannot write the support archive \"%1\": %2", request.archivePath, error));
        return kExitFailure;
    }
    for (const QString& part : skipped)
        NSPrintErrfString(qbFormat("Left out of the archive: %1", part));
    logNormal("Support archive written to \"%1\"", request.archivePath);
    out.line(QFileInfo(request.archivePath).absoluteFilePath());
    return kExitInOrder;
}

// The desktop entry's commands: 0 done or current, 1 not current, 2 refused.
int runIntegration(Command command, Output& out)
{
    const std::optional<platform::desktop::Copy> copy = Quorbel_LauncherAppDelegate::desktopCopy();
    if (!copy) {
        printError(QStringLiteral("No desktop entry for this copy: the path of its bundle is not UTF-8"));
        return kExitFailure;
    }
    const QString path = platform::desktop::entryPath(copy->identifier);
    QString why;
    if (command == Command::IntegrationStatus) {
        static const char* const words[] = {"current", "missing", "outdated", "other-copy", "stale", "not-ours"};
        const platform::desktop::Status status = platform::desktop::status(*copy);
        out.line(QStringList{QString::fromLatin1(words[int(status.state)]), path}.join(u'\t'));
        if (status.state == platform::desktop::State::NotOurs)
            NSPrintErrfString(qbFormat("\"%1\" is %2", path, status.problem));
        return status.state == platform::desktop::State::Current ? kExitInOrder : kExitNotInOrder;
    }
    const platform::desktop::Outcome outcome = command == Command::Integrate
                                                   ? platform::desktop::integrate(*copy, &why)
                                                   : platform::desktop::removeIntegration(copy->identifier, {}, &why);
    if (outcome == platform::desktop::Outcome::Refused) {
        printError(qbFormat("The desktop entry \"%1\" was not %2: %3", path,
                            command == Command::Integrate ? "written" : "removed", why));
        return kExitFailure;
    }
    logNormal("Command line: desktop entry \"%1\" %2", path,
              outcome == platform::desktop::Outcome::Unchanged ? "already as asked" : "done");
    out.line(path);
    return kExitInOrder;
}

QString describe(const Request& request)
{
    switch (request.command) {
    case Command::Check:
        return request.json ? QStringLiteral("--check --json") : QStringLiteral("--check");
    case Command::Repair:
        return request.json ? QStringLiteral("--repair --json") : QStringLiteral("--repair");
    case Command::SupportArchive:
        return qbFormat("--support-archive \"%1\"", request.archivePath);
    case Command::Integrate:
        return QStringLiteral("--integrate");
    case Command::RemoveIntegration:
        return QStringLiteral("--remove-integration");
    case Command::IntegrationStatus:
        return QStringLiteral("--integration-status");
    default:
        return {};
    }
}

} // namespace

Request parse(const QStringList& arguments)
{
    QList<Command> commands;
    bool json = false;
    bool verbose = false;
    QString archivePath;
    QString home;
    QString plainArgument;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        const int qtArity = qtOptionArity(argument);
        if (qtArity >= 0) {
            i += qtArity;
            continue;
        }
        if (argument == QLatin1String("-h") || argument == QLatin1String("-?")) {
            commands.append(Command::Help);
            continue;
        }
        if (argument == QLatin1String("--")) {
            if (plainArgument.isEmpty() && i + 1 < arguments.size())
                plainArgument = arguments.at(i + 1);
            break; // the rest are plain arguments
        }
        if (!argument.startsWith(QStringLiteral("--"))) {
            if (plainArgument.isEmpty())
                plainArgument = argument;
            continue;
        }
        const qsizetype equals = argument.indexOf(u'=');
        const QString name = equals < 0 ? argument : argument.left(equals);
        if (name == QLatin1String("--support-archive") || name == QLatin1String("--home")) {
            QString value;
            if (equals >= 0)
                value = argument.mid(equals + 1);
            else if (i + 1 < arguments.size())
                value = arguments.at(++i);
            if (value.isEmpty())
                return usageProblem(qbFormat("%1 needs a path", name));
            if (name == QLatin1String("--home")) {
                if (!value.startsWith(u'/'))
                    return usageProblem(QStringLiteral("--home needs an absolute path"));
                home = value;
                continue;
            }
            archivePath = value;
            commands.append(Command::SupportArchive);
            continue;
        }
        if (equals >= 0)
            return usageProblem(qbFormat("%1 takes no value", name));
        if (argument == QLatin1String("--check"))
            commands.append(Command::Check);
        else if (argument == QLatin1String("--json"))
            json = true;
        else if (argument == QLatin1String("--verbose"))
            verbose = true;
        else if (argument == QLatin1String("--repair"))
            commands.append(Command::Repair);
        else if (argument == QLatin1String("--integrate"))
            commands.append(Command::Integrate);
        else if (argument == QLatin1String("--remove-integration"))
            commands.append(Command::RemoveIntegration);
        else if (argument == QLatin1String("--integration-status"))
            commands.append(Command::IntegrationStatus);
        else if (argument == QLatin1String("--help"))
            commands.append(Command::Help);
        else if (argument == QLatin1String("--version"))
            commands.append(Command::Version);
        else
            return usageProblem(qbFormat("unknown option \"%1\"", argument));
    }
    Request request;
    if (commands.contains(Command::Help)) {
        request.command = Command::Help;
        return request;
    }
    if (commands.isEmpty()) {
        if (json)
            return usageProblem(QStringLiteral("--json goes with --check or --repair"));
        if (verbose)
            return usageProblem(QStringLiteral("--verbose goes with --check, --repair or --support-archive"));
        if (!home.isEmpty())
            return usageProblem(QStringLiteral("--home goes with --check, --repair or --support-archive"));
        return request; // the ordinary launch
    }
    if (commands.size() > 1)
        return usageProblem(QStringLiteral("give one of --check, --repair, --support-archive, --version"));
    if (json && commands.first() != Command::Check && commands.first() != Command::Repair)
        return usageProblem(QStringLiteral("--json goes with --check or --repair"));
    if (!plainArgument.isEmpty())
        return usageProblem(qbFormat("unexpected argument \"%1\"", plainArgument));
    request.command = commands.first();
    request.json = json;
    request.verbose = verbose;
    request.archivePath = archivePath;
    request.home = home;
    return request;
}

Request parse(int argc, char** argv)
{
    QStringList arguments;
    QList<QByteArray> raw;
    for (int i = 1; i < argc; ++i) {
        raw.append(QByteArray(argv[i]));
        arguments.append(QFile::decodeName(raw.last()));
    }
    Request request = parse(arguments);
    // A path that decoding cannot give back byte for byte would name another file.
    const auto names = [](const QString& argument, const QString& path, const char* option) {
        return !path.isEmpty() && (argument == path || argument == QLatin1String(option) + u'=' + path);
    };
    for (qsizetype i = 0; i < raw.size(); ++i) {
        if (QFile::encodeName(arguments.at(i)) == raw.at(i))
            continue;
        if (names(arguments.at(i), request.archivePath, "--support-archive"))
            return usageProblem(QStringLiteral("the archive path cannot be represented in this locale"));
        if (names(arguments.at(i), request.home, "--home"))
            return usageProblem(QStringLiteral("the home folder cannot be represented in this locale"));
    }
    return request;
}

QString usage(const QString& programName)
{
    return qbFormat("Usage: %1 [--check [--json] | --repair [--json] | --support-archive PATH] [--home FOLDER] [--verbose]\n"
                    "       %1 --integrate | --remove-integration | --integration-status\n"
                    "       %1 --help | -h | -? | --version\n"
                    "\n"
                    "Without an option the launcher starts as usual.\n"
                    "\n"
                    "  --check                 check the installation without a window: one line per item,\n"
                    "                          type, name, status, install path and a note on what the\n"
                    "                          launch would hit, separated by tabs\n"
                    "  --json                  with --check or --repair: the result as one JSON document\n"
                    "                          (docs/check-report.schema.json)\n"
                    "  --repair                repair what the check finds, without a window, then check again\n"
                    "  --support-archive PATH  write a zip archive for support to PATH, a new file\n"
                    "  --integrate             write or repair this user's desktop entry and icons for this copy,\n"
                    "                          print the entry's path\n"
                    "  --remove-integration    remove this user's desktop entry and icons of the product\n"
                    "  --integration-status    print whether the desktop entry is current (exit status 0) or not (1)\n"
                    "  --home FOLDER           with the above: work in this home folder instead of $HOME\n"
                    "  --verbose               show the log's lines on standard error, not only its errors\n"
                    "  --help, -h, -?          show this text\n"
                    "  --version               show the version\n"
                    "\n"
                    "Exit status:\n"
                    "  %2   done; for --check: every item in order\n"
                    "  %3   an item is not in order, or a repair failed\n"
                    "  %4   refused (an unsafe bundle or manifest as root), the manifest unreadable,\n"
                    "      or a file not written\n"
                    "  %5   the administrator prompt was dismissed\n"
                    "  %6   this account may not administer the machine\n"
                    "  %7   no administrator prompt can be shown (no polkit daemon or no agent)\n"
                    "  %8   a window was needed and no display can be used\n"
                    "  %9   the launch could not do its work for another reason (the windows module\n"
                    "      refused, a path that is not UTF-8, the core could not start)\n"
                    "  %10  usage",
                    programName, ExitStatus::kDone, ExitStatus::kNotInOrder, ExitStatus::kRefused,
                    ExitStatus::kPromptDismissed, ExitStatus::kNotAdministrator, ExitStatus::kNoPrompt,
                    ExitStatus::kNoDisplay, ExitStatus::kCannotLaunch, ExitStatus::kUsage);
}

int run(const Request& request)
{
    const QString program = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    switch (request.command) {
    case Command::None:
        return kExitFailure;
    case Command::Help:
        NSPrintfString(usage(program));
        return kExitInOrder;
    case Command::Version:
        NSPrintfString(qbFormat("%1 %2", productName(), versionOfThisAppAsString(true)));
        return kExitInOrder;
    case Command::Usage:
        NSPrintErrfString(qbFormat("%1: %2\n\n%3", program, request.problem, usage(program)));
        return kExitUsage;
    case Command::Check:
    case Command::Repair:
    case Command::SupportArchive:
    case Command::Integrate:
    case Command::RemoveIntegration:
    case Command::IntegrationStatus:
        break;
    }
    if (!request.home.isEmpty())
        platform::locations::setHomeFolder(request.home);
    Output out;
    Quorbel_LauncherAppDelegate delegate;
    // Scripts read standard error for what went wrong; the log file keeps the rest.
    delegate.setTerminalLoggingLevel(request.verbose ? QStringLiteral("verbose") : QStringLiteral("error"));
    delegate.startUp();
    logNormal("Command line: %1", describe(request));
    int status = kExitFailure;
    if (request.command == Command::Check)
        status = runCheck(request, out);
    else if (request.command == Command::Repair)
        status = runRepair(request, out);
    else if (request.command != Command::SupportArchive)
        status = runIntegration(request.command, out);
    else
        status = runSupportArchive(request, out);
    logNormal("Command line: exit status %1", status);
    flushLogFile();
    return status;
}

} // namespace CommandLine
