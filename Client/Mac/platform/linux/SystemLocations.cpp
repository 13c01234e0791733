#include "SystemLocations.h"

#include <QDir>
#include <QFile>
#include <QMutex>

#include <sys/auxv.h>

namespace platform::locations {
namespace {

QMutex gRootLock;
bool gRootSet = false;
QString gRoot;

// One spelling per folder, so that paths built on it compare as strings:
// no trailing "/", no "//" or "/./"; the file-system root is "".
QString normalized(const QString& folder)
{
    if (folder.isEmpty())
        return folder;
    const QString clean = QDir::cleanPath(folder);
    return clean == QStringLiteral("/") ? QString() : clean;
}

QString rootFromEnvironment()
{
#ifdef QB_TEST_HOOKS
    // A set-user-ID or otherwise elevated process never takes paths from its caller.
    if (getauxval(AT_SECURE) != 0)
        return {};
    return normalized(qEnvironmentVariable("QUORBEL_SYSTEM_ROOT"));
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
    gRoot = normalized(root);
    gRootSet = true;
}

QString systemPath(const QString& absolutePath)
{
    return systemRoot() + absolutePath;
}

QString homeFolder()
{
    const QByteArray home = qgetenv("HOME");
    // Paths are joined as home + "/x": the root folder as home is "".
    return normalized(home.isEmpty() ? QDir::homePath() : QFile::decodeName(home));
}

bool homeFolderIsExact()
{
    const QByteArray home = qgetenv("HOME");
    return home.isEmpty() || QFile::encodeName(QFile::decodeName(home)) == home;
}

QString expandTilde(const QString& path)
{
    if (path == QStringLiteral("~")) {
        const QString home = homeFolder();
        return home.isEmpty() ? QStringLiteral("/") : home;
    }
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
    return applicationsFolders(Domain::User) + applicationsFolders(Domain::Local) + applicationsFolders(Domain::Network);
}

QStringList downloadsFolders(Domain domain)
{
    if (domain == Domain::User)
        return {homeFolder() + QStringLiteral("/Downloads")};
    return {};
}

QStringList allDownloadsFolders()
{
    return downloadsFolders(Domain::User) + downloadsFolders(Domain::Local) + downloadsFolders(Domain::Network);
}

QString volumesFolder()
{
    return systemPath(QStringLiteral("/Volumes"));
}

} // namespace platform::locations
