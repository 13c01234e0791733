#include "Versions.h"

#include "Configuration.h"
#include "Format.h"

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
