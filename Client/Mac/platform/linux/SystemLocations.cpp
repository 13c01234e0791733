#include "SystemLocations.h"

#include <QDir>
#include <QMutex>

#include <sys/auxv.h>

namespace platform::locations {
namespace {

QMutex gRootLock;
bool gRootSet = false;
QString gRoot;

QString rootFromEnvironment()
{
#ifdef QB_TEST_HOOKS
    // A set-user-ID or otherwise elevated process never takes paths from its caller.
    if (getauxval(AT_SECURE) != 0)
        return {};
    QString root = qEnvironmentVariable("QUORBEL_SYSTEM_ROOT");
    while (root.endsWith(u'/'))
        root.chop(1);
    return root;
#else
    // Release builds have no such setting: the real folders, always.
    return {};
#endif
}

} // namespace

QString systemRoot()
{
    QMutexLocker lock(&gRootLock);
    if (!gRootSet) {
        gRoot = rootFromEnvironment();
        gRootSet = true;
    }
    return gRoot;
}

void setSystemRoot(const QString& root)
{
    QMutexLocker lock(&gRootLock);
    gRoot = root;
    while (gRoot.endsWith(u'/'))
        gRoot.chop(1);
    gRootSet = true;
}

QString systemPath(const QString& absolutePath)
{
    return systemRoot() + absolutePath;
}

QString homeFolder()
{
    const QString home = qEnvironmentVariable("HOME");
    return home.isEmpty() ? QDir::homePath() : home;
}

QString expandTilde(const QString& path)
{
    if (path == QStringLiteral("~"))
        return homeFolder();
    if (path.startsWith(QStringLiteral("~/")))
        return homeFolder() + path.mid(1);
    return path;
}

QStringList applicationsFolders(Domain domain)
{
    switch (domain) {
    case Domain::User:
        return {homeFolder() + QStringLiteral("/Applications")};
    case Domain::Local:
        return {systemPath(QStringLiteral("/Applications"))};
    case Domain::Network:
        return {systemPath(QStringLiteral("/Network/Applications"))};
    }
    return {};
}

QStringList allApplicationsFolders()
{
    return applicationsFolders(Domain::User) + applicationsFolders(Domain::Local)
        + applicationsFolders(Domain::Network);
}

QStringList downloadsFolders(Domain domain)
{
    if (domain == Domain::User)
        return {homeFolder() + QStringLiteral("/Downloads")};
    return {};
}

QStringList allDownloadsFolders()
{
    return downloadsFolders(Domain::User) + downloadsFolders(Domain::Local)
        + downloadsFolders(Domain::Network);
}

QString volumesFolder()
{
    return systemPath(QStringLiteral("/Volumes"));
}

} // namespace platform::locations
