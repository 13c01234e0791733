#include "SystemLocations.h"

#include "FolderWalk.h"

#include <QDir>
#include <QFile>
#include <QMutex>

#include <pwd.h>
#include <sys/auxv.h>
#include <unistd.h>
#include <vector>

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

QMutex gHomeLock;
QByteArray gExplicitHome;
QByteArray gRootHomeFrom; // the $HOME that gRootHome was chosen for
QByteArray gRootHome;

QByteArray passwordDatabaseHome()
{
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_dir)
        return {};
    return QByteArray(found->pw_dir);
}

// $HOME as given, or for root where a user may have set it (sudo -E, a script
// keeping the environment) the home root alone controls.
QByteArray homeBytes()
{
    QMutexLocker lock(&gHomeLock);
    if (!gExplicitHome.isEmpty())
        return gExplicitHome;
    const QByteArray home = qgetenv("HOME");
    if (::geteuid() != 0)
        return home.isEmpty() ? QFile::encodeName(QDir::homePath()) : home;
    if (gRootHome.isNull() || home != gRootHomeFrom) {
        gRootHomeFrom = home;
        const bool trusted = home.startsWith('/') && folders::whyNotRootOnly(home).isEmpty();
        gRootHome = trusted ? home : passwordDatabaseHome();
        if (gRootHome.isNull())
            gRootHome = "";
    }
    return gRootHome;
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
    // Paths are joined as home + "/x": the root folder as home is "".
    return normalized(QFile::decodeName(homeBytes()));
}

void setHomeFolder(const QString& home)
{
    QMutexLocker lock(&gHomeLock);
    gExplicitHome = QFile::encodeName(home);
}

bool homeFolderIsExplicit()
{
    QMutexLocker lock(&gHomeLock);
    return !gExplicitHome.isEmpty();
}

bool homeFolderIsExact()
{
    const QByteArray home = homeBytes();
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
