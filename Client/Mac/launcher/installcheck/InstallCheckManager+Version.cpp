// Version rules of the installation check: installed bundle and tool
// versions against the manifest and this launcher, and the system version
// words of the manifest.

#include "InstallCheckManager.h"

#include "KeyConstants.h"
#include "Logging.h"
#include "PropertyList.h"
#include "SystemVersion.h"
#include "Versions.h"

#include <QDeadlineTimer>
#include <QProcess>

#include <algorithm>
#include <atomic>
#include <tuple>

namespace {

std::atomic<int64_t> gToolVersionTimeoutMs{10000};
// More than any version text; a tool that prints more is broken.
constexpr qsizetype kMaxToolOutput = 1 << 20;

// "InstallPath" joined with `suffix` as a path component; "" without an "InstallPath".
QString pathInsideInstalledItem(const QVariantMap& item, const QString& suffix)
{
    QString installPath = item.value(kInstallPath).toString();
    if (installPath.isEmpty())
        return {};
    while (installPath.size() > 1 && installPath.endsWith(u'/'))
        installPath.chop(1);
    QString component = suffix;
    while (component.startsWith(u'/'))
        component.remove(0, 1);
    return installPath == QStringLiteral("/") ? installPath + component : installPath + u'/' + component;
}

const QString kBundleInfoPlist = QStringLiteral("/Contents/Info.plist");

// While a status update runs on this thread: the Info.plists read ahead for
// it, each taken once (a second read of the same file goes to the disk).
thread_local QHash<QString, QVariantMap>* tReadAhead = nullptr;

QVariantMap infoDictionary(const QString& path)
{
    if (tReadAhead) {
        const auto found = tReadAhead->find(path);
        if (found != tReadAhead->end()) {
            QVariantMap dictionary = std::move(*found);
            tReadAhead->erase(found);
            return dictionary;
        }
    }
    return platform::readPropertyListDictionary(path);
}

// The installed item's "CFBundleShortVersionString", or "" when it cannot be read.
QString installedShortVersion(const QVariantMap& item, const QString& infoPlistSuffix)
{
    const QString infoPath = pathInsideInstalledItem(item, infoPlistSuffix);
    if (infoPath.isEmpty())
        return {};
    const QVariant version = infoDictionary(infoPath).value(QStringLiteral("CFBundleShortVersionString"));
    return version.typeId() == QMetaType::QString ? version.toString() : QString();
}

bool readVersionOfInstalledItem(const QVariantMap& item, const QString& infoPlistSuffix, int32_t* major, int32_t* minor,
                                int32_t* bugfix)
{
    const QString version = installedShortVersion(item, infoPlistSuffix);
    return !version.isEmpty() && InstallCheckManager::parseVersionString(version, major, minor, bugfix);
}

// The rule shared by tools and bundles: behind in major, or in minor with the same major.
bool isBehindClient(int32_t major, int32_t minor, const QString& clientVersion)
{
    int32_t clientMajor, clientMinor, clientBuild, clientRevision;
    microsoftStyleVersionFromString(clientVersion, &clientMajor, &clientMinor, &clientBuild, &clientRevision);
    return major < clientMajor || (major == clientMajor && minor < clientMinor);
}

bool logNeedsUpdate(const QString& installPath, const QString& installed, const QString& clientVersion, bool needsUpdate)
{
    if (needsUpdate)
        logVerbose("\"%1\" needs to update from %2 to %3", installPath, installed, clientVersion);
    else
        logVerbose("\"%1\" does not need to update from %2", installPath, installed);
    return needsUpdate;
}

QString olderThan(const QString& installed, const QString& wanted)
{
    // Tool output is outside text: a reason stays one short line.
    QString shown = installed.left(64);
    for (QChar& c : shown) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = u' ';
    }
    return qbFormat("version %1 older than %2", shown, wanted);
}

// Output that is not text: invalid UTF-8 or control characters other than line breaks and tabs.
bool isBinary(const QString& text)
{
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) {
        return c == QChar::ReplacementCharacter || (c.unicode() < 0x20 && c != u'\n' && c != u'\r' && c != u'\t')
               || c.unicode() == 0x7f;
    });
}

enum class ToolRun { Finished, FailedToStart, TimedOut, TooMuchOutput };

// Runs the tool without arguments and collects its standard output; its
// standard input and error are ours.
ToolRun runToolForOutput(const QString& path, QByteArray* output, QString* why)
{
    QProcess tool;
    tool.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    tool.setInputChannelMode(QProcess::ForwardedInputChannel);
    tool.start(path, {}, QIODevice::ReadOnly);
    if (!tool.waitForStarted(-1)) {
        *why = tool.errorString();
        return ToolRun::FailedToStart;
    }
    const QDeadlineTimer deadline(std::chrono::milliseconds(gToolVersionTimeoutMs.load()));
    while (tool.state() != QProcess::NotRunning && !deadline.hasExpired() && output->size() <= kMaxToolOutput) {
        tool.waitForReadyRead(int(std::min<qint64>(deadline.remainingTime(), 1000)));
        *output += tool.readAllStandardOutput();
    }
    if (tool.state() != QProcess::NotRunning) {
        tool.kill();
        tool.waitForFinished(-1);
        return output->size() > kMaxToolOutput ? ToolRun::TooMuchOutput : ToolRun::TimedOut;
    }
    *output += tool.readAllStandardOutput();
    return ToolRun::Finished;
}

} // namespace

int32_t InstallCheckManager::readAheadInfoPlists(int32_t first)
{
    const auto isTool = [](const QString& type) {
        return type == QStringLiteral("QBTool") || type == QStringLiteral("QBToolRoot");
    };
    QStringList paths;
    const auto count = int32_t(requiredItemsList.size());
    int32_t end = first;
    for (; end < count; ++end) {
        const QVariantMap item = requiredItemsList.at(end).toMap();
        const QString type = item.value(kInstallType).toString();
        if (isTool(type)) {
            if (end == first)
                ++end;
            break;
        }
        // Exactly the items whose evaluator reads the bundle's version.
        const bool reads = type == QStringLiteral("Bundle")
                           || (type == QStringLiteral("FinderCM") && checkMaxMacOSXVersion(item))
                           || (type == QStringLiteral("FinderOverlayInsert") && checkMinMacOSXVersion(item));
        if (!reads)
            continue;
        const QString path = pathInsideInstalledItem(item, kBundleInfoPlist);
        if (!path.isEmpty())
            paths.append(path);
    }
    m_readAhead.clear();
    const QList<QVariantMap> dictionaries = platform::readPropertyListDictionaries(paths);
    for (qsizetype i = 0; i < paths.size(); ++i)
        m_readAhead.insert(paths.at(i), dictionaries.at(i));
    tReadAhead = &m_readAhead;
    return end;
}

void InstallCheckManager::endReadAhead()
{
    if (tReadAhead == &m_readAhead)
        tReadAhead = nullptr;
    m_readAhead.clear();
}

bool InstallCheckManager::getBundleVersion(const QVariantMap& item, int32_t* major, int32_t* minor, int32_t* bugfix)
{
    return readVersionOfInstalledItem(item, kBundleInfoPlist, major, minor, bugfix);
}

bool InstallCheckManager::getFrameworkVersion(const QVariantMap& item, int32_t* major, int32_t* minor, int32_t* bugfix)
{
    return readVersionOfInstalledItem(item, QStringLiteral("Versions/Current/Resources/Info.plist"), major, minor, bugfix);
}

bool InstallCheckManager::parseVersionString(const QString& version, int32_t* major, int32_t* minor, int32_t* bugfix)
{
    // Three parts around exactly two dots, read in place.
    const QStringView text(version);
    const qsizetype first = text.indexOf(u'.');
    const qsizetype second = first < 0 ? -1 : text.indexOf(u'.', first + 1);
    if (second < 0 || text.indexOf(u'.', second + 1) >= 0)
        return false;
    *major = intValue(text.first(first));
    *minor = intValue(text.sliced(first + 1, second - first - 1));
    *bugfix = intValue(text.sliced(second + 1));
    return true;
}

bool InstallCheckManager::checkFrameworkVersion(const QVariantMap& item, int32_t major, int32_t minor, int32_t bugfix)
{
    const QString required = item.value(kVersion).toString();
    int32_t requiredMajor, requiredMinor, requiredBugfix;
    if (required.isEmpty() || !parseVersionString(required, &requiredMajor, &requiredMinor, &requiredBugfix)) {
        logDetail("Failed to parse version string \"%1\"", required);
        return false;
    }
    logDetail("Found framework version string \"%1\" parsed as %2.%3.%4", required, requiredMajor, requiredMinor,
              requiredBugfix);
    const bool older = std::tie(major, minor, bugfix) < std::tie(requiredMajor, requiredMinor, requiredBugfix);
    if (older) {
        logDetail("Found framework out-of-date");
        return false;
    }
    logDetail("Found framework up-to-date");
    return true;
}

bool InstallCheckManager::getMacOSXVersion(int32_t* major, int32_t* minor, int32_t* bugfix)
{
    using namespace platform::gestalt;
    return Gestalt(gestaltSystemVersionMajor, major) == noErr && Gestalt(gestaltSystemVersionMinor, minor) == noErr
           && Gestalt(gestaltSystemVersionBugFix, bugfix) == noErr;
}

bool InstallCheckManager::checkMaxMacOSXVersion(const QVariantMap& item)
{
    const QString key = kMaxMacOSXVersion;
    if (!item.contains(key))
        return true;
    int32_t major, minor, bugfix;
    if (!getMacOSXVersion(&major, &minor, &bugfix))
        return true;
    const QString newest = item.value(key).toString();
    if (major != 10)
        return false;
    if (newest == QStringLiteral("10.4"))
        return minor == 4;
    if (newest == QStringLiteral("10.5"))
        return minor <= 5;
    if (newest == QStringLiteral("10.6"))
        return minor <= 6;
    return false;
}

bool InstallCheckManager::checkMinMacOSXVersion(const QVariantMap& item)
{
    const QString key = kMinMacOSXVersion;
    if (!item.contains(key))
        return true;
    int32_t major, minor, bugfix;
    if (!getMacOSXVersion(&major, &minor, &bugfix))
        return true;
    const QString word = item.value(key).toString();
    if (word == QStringLiteral("10.4") && major == 10 && minor < 5)
        return false;
    if (word == QStringLiteral("10.5") && major == 10 && minor > 4)
        return true;
    return word == QStringLiteral("10.6") && major > 10;
}

QString InstallCheckManager::getMacClientVersionAsString()
{
    return versionOfThisAppAsString(true);
}

void InstallCheckManager::getVersionFromString(const QString& version, int32_t* major, int32_t* minor, int32_t* build,
                                               int32_t* revision)
{
    microsoftStyleVersionFromString(version, major, minor, build, revision);
}

void InstallCheckManager::getMacClientVersion(int32_t* major, int32_t* minor, int32_t* build, int32_t* revision)
{
    getVersionFromString(getMacClientVersionAsString(), major, minor, build, revision);
}

bool InstallCheckManager::doesToolNeedUpdate(const QVariantMap& item)
{
    return doesToolNeedUpdate(item, getMacClientVersionAsString());
}

bool InstallCheckManager::doesToolNeedUpdate(const QVariantMap& item, const QString& clientVersion, QString* reason)
{
    const QString installPath = item.value(kInstallPath).toString();
    QString why;
    const auto needsUpdate = [reason](const QString& text) {
        if (reason)
            *reason = text;
        return true;
    };
    QByteArray output;
    switch (runToolForOutput(installPath, &output, &why)) {
    case ToolRun::FailedToStart:
        logError("Cannot run \"%1\" to ask its version (%2); it needs to be replaced", installPath, why);
        return needsUpdate(qbFormat("cannot be run to ask its version (%1)", why));
    case ToolRun::TimedOut:
        logError("\"%1\" did not tell its version within %2 ms; stopped it, it needs to be replaced", installPath,
                 gToolVersionTimeoutMs.load());
        return needsUpdate(qbFormat("did not tell its version within %1 ms", gToolVersionTimeoutMs.load()));
    case ToolRun::TooMuchOutput:
        logError("\"%1\" printed more than %2 bytes instead of its version; stopped it, it needs to be replaced",
                 installPath, kMaxToolOutput);
        return needsUpdate(qbFormat("printed more than %1 bytes instead of its version", kMaxToolOutput));
    case ToolRun::Finished:
        break;
    }
    const QString text = QString::fromUtf8(output);
    if (isBinary(text)) {
        logError("\"%1\" printed %2 bytes of binary output instead of its version; it needs to be replaced", installPath,
                 output.size());
        return needsUpdate(QStringLiteral("printed binary output instead of its version"));
    }
    const QString toolVersion = text.split(QStringLiteral("Limited ")).last();
    int32_t major, minor, build, revision;
    microsoftStyleVersionFromString(toolVersion, &major, &minor, &build, &revision);
    const bool behind = isBehindClient(major, minor, clientVersion);
    if (behind && reason)
        *reason = olderThan(toolVersion.trimmed(), clientVersion);
    return logNeedsUpdate(installPath, toolVersion, clientVersion, behind);
}

bool InstallCheckManager::doesBundleNeedUpdate(const QVariantMap& item)
{
    return doesBundleNeedUpdate(item, getMacClientVersionAsString());
}

bool InstallCheckManager::doesBundleNeedUpdate(const QVariantMap& item, const QString& clientVersion, QString* reason)
{
    const QString version = installedShortVersion(item, kBundleInfoPlist);
    int32_t major, minor, bugfix;
    if (version.isEmpty() || !parseVersionString(version, &major, &minor, &bugfix)) {
        if (reason)
            *reason = QStringLiteral("no three-part CFBundleShortVersionString in Contents/Info.plist");
        return true;
    }
    const QString installPath = item.value(kInstallPath).toString();
    const bool behind = isBehindClient(major, minor, clientVersion);
    if (behind && reason)
        *reason = olderThan(version, clientVersion);
    return logNeedsUpdate(installPath, version, clientVersion, behind);
}

void InstallCheckManager::setToolVersionTimeout(std::chrono::milliseconds timeout)
{
    gToolVersionTimeoutMs = timeout.count();
}
