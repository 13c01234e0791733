#include "FinderSupport.h"

#include "AppleEventService.h"
#include "LocalizedString.h"
#include "Logging.h"
#include "ScriptService.h"
#include "Workspace.h"

#include <QDateTime>
#include <QMutexLocker>

#include <csignal>

namespace {

constexpr char kInitializeName[] = "+[FinderSupport initialize]";
constexpr char kiTunesBundleIdentifier[] = "com.apple.iTunes";
constexpr char kProcessIdentifierKey[] = "NSApplicationProcessIdentifier";
constexpr char kBundleIdentifierKey[] = "NSApplicationBundleIdentifier";
// Seconds between the Unix epoch and 1 January 2001.
constexpr double kReferenceDateOffset = 978307200.0;

QString joinLines(const QStringList& lines, const QString& indentation)
{
    QStringList indented;
    for (const QString& line : lines)
        indented << indentation + line;
    return indented.join(u'\n');
}

const QStringList& selectionScriptLines()
{
    static const QStringList lines{
        QStringLiteral("tell application \"Finder\""),
        QStringLiteral("set alist to selection as alias list"),
        QStringLiteral("set plist to {}"),
        QStringLiteral("repeat with afile in alist"),
        QStringLiteral("set end of plist to (POSIX path of (afile as text))"),
        QStringLiteral("end repeat"),
        QStringLiteral("end tell"),
        QStringLiteral("return plist"),
    };
    return lines;
}

// A text inside an AppleScript string literal: quotes and backslashes escaped.
QString escapedForScriptString(const QString& text)
{
    QString escaped = text;
    escaped.replace(u'\\', QStringLiteral("\\\\"));
    escaped.replace(u'"', QStringLiteral("\\\""));
    return escaped;
}

QString describeValue(const QVariant& value)
{
    if (value.typeId() == QMetaType::QString)
        return u'"' + value.toString() + u'"';
    return value.toString();
}

QString describeDictionary(const QVariantMap& dictionary)
{
    QStringList entries;
    for (auto it = dictionary.cbegin(); it != dictionary.cend(); ++it)
        entries << it.key() + QStringLiteral(" = ") + describeValue(it.value()) + u';';
    return QStringLiteral("{") + entries.join(u' ') + QStringLiteral("}");
}

QString describeArray(const QStringList& array)
{
    QStringList entries;
    for (const QString& item : array)
        entries << u'"' + item + u'"';
    return u'(' + entries.join(QStringLiteral(", ")) + u')';
}

double secondsSinceReferenceDate()
{
    return QDateTime::currentMSecsSinceEpoch() / 1000.0 - kReferenceDateOffset;
}

QVariantMap runningiTunesInWorkspace()
{
    for (const platform::RunningApplication& application : platform::workspace::launchedApplications()) {
        const QVariantMap info = application.toDictionary();
        if (info.value(QString::fromLatin1(kBundleIdentifierKey)).toString() == QLatin1String(kiTunesBundleIdentifier))
            return info;
    }
    return {};
}

} // namespace

QString FinderSupport::selectionScriptSource()
{
    return joinLines(selectionScriptLines(), QString(12, u' '));
}

QString FinderSupport::retryScriptSource(const QString& productName)
{
    QStringList lines{
        QStringLiteral("tell application \"%1Core\"").arg(productName),
        QStringLiteral("activate"),
        QStringLiteral("end tell"),
        QStringLiteral("tell application \"Finder\""),
        QStringLiteral("activate"),
    };
    lines += selectionScriptLines().mid(1);
    return joinLines(lines, QString(13, u' '));
}

QString FinderSupport::readPreferenceScriptSource()
{
    return QStringLiteral("on run argv\n"
                          "tell application \"Finder\"\n"
                          "return desktop shows connected servers of Finder preferences\n"
                          "end tell\n"
                          "end run\n");
}

QString FinderSupport::setPreferenceScriptSource(bool show)
{
    return QStringLiteral("on run argv\n"
                          "tell application \"Finder\"\n"
                          "set desktop shows connected servers of Finder preferences to %1\n"
                          "end tell\n"
                          "end run\n")
        .arg(show ? QStringLiteral("true") : QStringLiteral("false"));
}

QString FinderSupport::refreshScriptSource(const QString& path)
{
    return QStringLiteral("tell application \"Finder\"\n"
                          "set fileAlias to POSIX file \"%1\"\n"
                          "update fileAlias\n"
                          "end tell")
        .arg(escapedForScriptString(path));
}

FinderSupport& FinderSupport::sharedManager()
{
    static FinderSupport shared;
    return shared;
}

FinderSupport::FinderSupport() : FinderSupport(Services{}) {}

FinderSupport::FinderSupport(Services services) : m_services(std::move(services))
{
    initialize();
}

FinderSupport::~FinderSupport() = default;

platform::ScriptService& FinderSupport::scripts() const
{
    return m_services.scripts ? *m_services.scripts : platform::ScriptService::shared();
}

double FinderSupport::now() const
{
    return m_services.now ? m_services.now() : secondsSinceReferenceDate();
}

void FinderSupport::initialize()
{
    QVariantMap errorInfo;
    m_selectionScript = scripts().createScript(selectionScriptSource());
    if (!m_selectionScript->compile(&errorInfo)) {
        logError("%1   FAILED to compile", kInitializeName);
        logError("Error = %1", describeDictionary(errorInfo));
    }
    errorInfo.clear();
    m_retryScript = scripts().createScript(retryScriptSource(QBLocalizedString(QStringLiteral("ProductName"))));
    if (!m_retryScript->compile(&errorInfo)) {
        logError("%1   FAILED to compile retry script", kInitializeName);
        logError("Error = %1", describeDictionary(errorInfo));
    }
}

void FinderSupport::appendSelectedFinderItemsToArray(QStringList& array, bool isRetry)
{
    QVariantMap errorInfo;
    std::optional<platform::ScriptDescriptor> result;
    {
        QMutexLocker lock(&m_scriptLock);
        result = (isRetry ? m_retryScript : m_selectionScript)->execute(&errorInfo);
    }
    if (!result) {
        logError("   FAILED to execute");
        logError("   Error = %1", describeDictionary(errorInfo));
    } else if (result->descriptorType == platform::typeNull) {
        logError("  descriptorType == kAENullEvent");
    } else if (result->descriptorType == platform::typeAEList) {
        logDetail("[descriptor numberOfItems] = %1", result->items.size());
        logDetail("descriptor = %1", result->description());
        for (qsizetype index = 1; index <= result->items.size(); ++index) {
            const QString value = result->items.at(index - 1).stringValue;
            logDetail("[%1] stringValue = %2", index, value.isNull() ? QStringLiteral("(null)") : value);
            if (value.isNull()) {
                logError("Selected item %1 has no path; skipped", index);
                continue;
            }
            array << value.normalized(QString::NormalizationForm_C);
        }
    } else {
        logError("descriptor descriptorType != cAEList");
    }
    logDetail("   array = %1", describeArray(array));
}

QStringList FinderSupport::getSelectedFinderItemsIsRetry(bool isRetry)
{
    const double requestTime = now();
    if (!isRetry && requestTime - _lastRequestTimeInterval.load() <= kSelectionCacheSeconds) {
        QMutexLocker lock(&m_fileListLock);
        return _fileList;
    }
    // One refresh at a time; readers inside the window keep the last list.
    QMutexLocker refresh(&m_refreshLock);
    QStringList fresh;
    appendSelectedFinderItemsToArray(fresh, isRetry);
    QMutexLocker lock(&m_fileListLock);
    _fileList = fresh;
    _lastRequestTimeInterval = requestTime;
    return _fileList;
}

QStringList FinderSupport::createSelectedFinderItemsArrayNoCacheIsRetry(bool isRetry)
{
    QStringList array;
    appendSelectedFinderItemsToArray(array, isRetry);
    return array;
}

QStringList FinderSupport::getSelectedFinderItemsNoCacheIsRetry(bool isRetry)
{
    return createSelectedFinderItemsArrayNoCacheIsRetry(isRetry);
}

bool FinderSupport::showConnectedServersOnDesktop()
{
    QVariantMap ignored;
    const std::unique_ptr<platform::Script> script = scripts().createScript(readPreferenceScriptSource());
    script->compile(&ignored);
    const std::optional<platform::ScriptDescriptor> result = script->execute(&ignored);
    return result ? result->booleanValue : true;
}

void FinderSupport::runScriptIgnoringErrors(const QString& source)
{
    QVariantMap ignored;
    const std::unique_ptr<platform::Script> script = scripts().createScript(source);
    script->compile(&ignored);
    script->execute(&ignored);
}

void FinderSupport::setShowConnectedServersOnDesktop(bool show)
{
    runScriptIgnoringErrors(setPreferenceScriptSource(show));
}

void FinderSupport::updateFileAtPath(const QString& path)
{
    runScriptIgnoringErrors(refreshScriptSource(path));
}

int32_t FinderSupport::sendAppleEventToSystemProcess(uint32_t eventID)
{
    platform::AppleEventService& events = m_services.appleEvents ? *m_services.appleEvents
                                                                 : platform::AppleEventService::shared();
    return events.sendEvent(platform::kSystemProcessSerialNumber, platform::fourCharCode("aevt"), eventID);
}

void FinderSupport::quitiTunes()
{
    const QVariantMap info = m_services.runningiTunesInfo ? m_services.runningiTunesInfo() : runningiTunesInWorkspace();
    if (info.isEmpty())
        return;
    const int pid = intValue(info.value(QString::fromLatin1(kProcessIdentifierKey)).toString());
    // 0 or a negative number would signal a whole process group.
    if (pid <= 0) {
        logError("Not quitting iTunes: no usable process identifier (%1)", pid);
        return;
    }
    ::kill(pid, SIGTERM);
}
