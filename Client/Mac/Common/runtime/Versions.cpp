#include "Versions.h"

#include "Configuration.h"
#include "Format.h"
#include "Logging.h"

#include <QMutex>

QString versionOfBundleAsString(const platform::Bundle& bundle, int32_t defaultBuild, bool withBuild)
{
    const QVariantMap info = bundle.infoDictionary();
    QString version = QStringLiteral("1.19.0");
    int32_t build = defaultBuild;
    if (!info.isEmpty()) {
        if (info.contains(QStringLiteral("CFBundleShortVersionString")))
            version = info.value(QStringLiteral("CFBundleShortVersionString")).toString();
        if (info.contains(QStringLiteral("CFBundleVersion")))
            build = intValue(info.value(QStringLiteral("CFBundleVersion")).toString());
    }
    return withBuild ? qbFormat("%1 (%2)", version, build) : version;
}

QString versionOfThisAppAsString(bool withBuild)
{
    static QMutex lock;
    static QString sVersionOfThisAppWithBuild;
    static QString sVersionOfThisApp;
    QMutexLocker locker(&lock);
    const auto& bundle = platform::Bundle::mainBundle();
    const auto defaultBuild = int32_t(Quorbel_ClientVersionNumber);
    if (sVersionOfThisAppWithBuild.isNull())
        sVersionOfThisAppWithBuild = versionOfBundleAsString(bundle, defaultBuild, true);
    if (sVersionOfThisApp.isNull())
        sVersionOfThisApp = versionOfBundleAsString(bundle, defaultBuild, false);
    return withBuild ? sVersionOfThisAppWithBuild : sVersionOfThisApp;
}

void microsoftStyleVersionFromString(const QString& text, int32_t* major, int32_t* minor, int32_t* build, int32_t* revision)
{
    int32_t* const outs[] = {major, minor, build, revision};
    for (int32_t* out : outs)
        *out = 0;
    QString version = text.section(u'\n', 0, 0);
    version.remove(QStringLiteral("version "));
    for (const QChar dropped : {u'a', u'b', u'(', u')'})
        version.remove(dropped);
    version.replace(u' ', u'.');
    const QStringList parts = version.split(u'.');
    if (parts.size() == 1) {
        *major = intValue(parts.first());
    } else if (parts.size() == 4) {
        for (int i = 0; i < 4; ++i)
            *outs[i] = intValue(parts.at(i));
    } else {
        logError("Failed to extract version from string \"%1\"", text);
    }
}

int64_t buildNumberFromVersionStr(const QString& text)
{
    const QStringList vAndB = text.split(u' ');
    // Named by the shared utilities' source and line, so the assertion line
    // reads the same wherever this code is built from.
    if (vAndB.size() != 2)
        ::__assert2("[vAndB count] == 2", "Client/Mac/Common/utils", 98);
    QString build = vAndB.at(1);
    while (build.startsWith(u'(') || build.startsWith(u')'))
        build.remove(0, 1);
    while (build.endsWith(u'(') || build.endsWith(u')'))
        build.chop(1);
    return int64_t(intValue(build));
}
