// The freedesktop.org Trash: the home Trash for items on the home folder's
// file system; on any other file system the top directory's ".Trash/$uid"
// when ".Trash" is sound (a real folder with the sticky bit), else
// ".Trash-$uid"; when neither can be used, a copy into the home Trash.

#include "Workspace.h"

#include "FileManager.h"
#include "FolderWalk.h"
#include "SystemLocations.h"
#include "helper/PrivilegedRequests.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::workspace {
namespace {

struct Trash {
    QByteArray folder; // holds files/ and info/
    QByteArray topDir; // "" for the home Trash, whose info paths are absolute
};

QString describe(const char* what, const QByteArray& path, int err)
{
    return QStringLiteral("%1 %2: %3")
        .arg(QString::fromLatin1(what), QFile::decodeName(path), QString::fromLocal8Bit(std::strerror(err)));
}

QByteArray parentOf(const QByteArray& path)
{
    const qsizetype slash = path.lastIndexOf('/');
    return slash <= 0 ? QByteArray("/") : path.left(slash);
}

QByteArray homeTrashFolder()
{
    QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    if (!dataHome.startsWith(u'/'))
        dataHome = locations::homeFolder() + QStringLiteral("/.local/share");
    return QFile::encodeName(QDir::cleanPath(dataHome) + QStringLiteral("/Trash"));
}

// Root never makes or fills a Trash in a folder another user can redirect
// (a user's data folder reached through root's inherited environment).
bool rootMayUse(const Trash& trash, QString* why)
{
    const QString refusal = folders::whyRootMayNotWriteIn(QFile::decodeName(trash.folder));
    if (!refusal.isEmpty())
        *why = QStringLiteral("Not using the Trash %1 as root: %2").arg(QFile::decodeName(trash.folder), refusal);
    return refusal.isEmpty();
}

// A folder of ours that is really a folder: made when missing, never a link.
bool ownFolder(const QByteArray& path, mode_t mode)
{
    if (::mkdir(path.constData(), mode) != 0 && errno != EEXIST)
        return false;
    struct stat st {};
    return ::lstat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid()
           && ::access(path.constData(), W_OK | X_OK) == 0;
}

bool prepare(const Trash& trash)
{
    return ownFolder(trash.folder, 0700) && ownFolder(trash.folder + "/files", 0700)
           && ownFolder(trash.folder + "/info", 0700);
}

// The item's path with its folder's links resolved ("" when that fails).
QByteArray resolvedPath(const QByteArray& item)
{
    char resolved[PATH_MAX];
    if (!::realpath(parentOf(item).constData(), resolved))
        return {};
    const QByteArray folder(resolved);
    return (folder == "/" ? QByteArray() : folder) + item.mid(item.lastIndexOf('/'));
}

// The highest folder above a resolved item path on the same file system.
QByteArray topDirectoryOf(const QByteArray& resolvedItem, dev_t device)
{
    QByteArray top = parentOf(resolvedItem);
    while (top != "/") {
        const QByteArray up = parentOf(top);
        struct stat st {};
        if (::stat(up.constData(), &st) != 0 || st.st_dev != device)
            break;
        top = up;
    }
    return top;
}

// Where an item on another file system than the home Trash may go, best first.
QList<Trash> topDirectoryTrashes(const QByteArray& top)
{
    const QByteArray uid = QByteArray::number(uint(::geteuid()));
    const QByteArray base = top == "/" ? QByteArray() : top;
    QList<Trash> trashes;
    struct stat shared {};
    const QByteArray sharedFolder = base + "/.Trash";
    if (::lstat(sharedFolder.constData(), &shared) == 0 && S_ISDIR(shared.st_mode) && (shared.st_mode & S_ISVTX))
        trashes.append({sharedFolder + '/' + uid, top});
    trashes.append({base + "/.Trash-" + uid, top});
    return trashes;
}

// The Path value: relative to the top directory for its own Trash.
QByteArray infoPath(const Trash& trash, const QByteArray& item)
{
    QByteArray path = item;
    if (!trash.topDir.isEmpty())
        path = trash.topDir == "/" ? item.mid(1) : item.mid(trash.topDir.size() + 1);
    return path.toPercentEncoding("/");
}

// Claims a free name in the Trash by creating its info file; answers the
// name's path in files/ ("" when none could be claimed). `item` is resolved.
QByteArray claim(const Trash& trash, const QByteArray& item, QString* error)
{
    const QByteArray name = item.mid(item.lastIndexOf('/') + 1);
    const QByteArray info = "[Trash Info]\nPath=" + infoPath(trash, item) + "\nDeletionDate="
                            + QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-ddThh:mm:ss")).toLatin1() + '\n';
    for (int number = 1; number < 10000; ++number) {
        const QByteArray entry = number == 1 ? name : name + '.' + QByteArray::number(number);
        const QByteArray infoFile = trash.folder + "/info/" + entry + ".trashinfo";
        const QByteArray file = trash.folder + "/files/" + entry;
        struct stat st {};
        if (::lstat(file.constData(), &st) == 0)
            continue;
        const int fd = ::open(infoFile.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0) {
            *error = describe("Cannot create", infoFile, errno);
            return {};
        }
        const bool written = ::write(fd, info.constData(), size_t(info.size())) == info.size() && ::fsync(fd) == 0;
        const int err = errno;
        if (::close(fd) != 0 || !written) {
            *error = describe("Cannot write", infoFile, err);
            ::unlink(infoFile.constData());
            return {};
        }
        return file;
    }
    *error = describe("No free name in", trash.folder, EEXIST);
    return {};
}

QByteArray infoFileOf(const QByteArray& trashedFile)
{
    const qsizetype files = trashedFile.lastIndexOf("/files/");
    return trashedFile.left(files) + "/info/" + trashedFile.mid(files + 7) + ".trashinfo";
}

bool renameInto(const Trash& trash, const QByteArray& item, const QByteArray& resolvedItem, QString* error)
{
    if (!prepare(trash)) {
        *error = describe("Cannot use the Trash", trash.folder, errno);
        return false;
    }
    const QByteArray file = claim(trash, resolvedItem, error);
    if (file.isEmpty())
        return false;
    if (::rename(item.constData(), file.constData()) == 0)
        return true;
    const int err = errno;
    *error = describe("Cannot move to the Trash", item, err);
    ::unlink(infoFileOf(file).constData());
    errno = err;
    return false;
}

// The last resort across file systems: the original goes only once the
// copy in the home Trash is whole.
bool copyInto(const Trash& trash, const QByteArray& item, const QByteArray& resolvedItem, QString* error)
{
    if (!prepare(trash)) {
        *error = describe("Cannot use the Trash", trash.folder, errno);
        return false;
    }
    const QByteArray file = claim(trash, resolvedItem, error);
    if (file.isEmpty())
        return false;
    QString why;
    if (!files::copyItem(QFile::decodeName(item), QFile::decodeName(file), &why)) {
        *error = why;
        ::unlink(infoFileOf(file).constData());
        return false;
    }
    if (!files::removeItem(QFile::decodeName(item), &why)) {
        // What could not be removed stays, and the Trash holds the whole item.
        *error = why;
        return false;
    }
    return true;
}

} // namespace

bool recycle(const QString& path, QString* error)
{
    QString ignored;
    QString* why = error ? error : &ignored;
    const QByteArray item = QFile::encodeName(QDir::cleanPath(path));
    struct stat st {};
    if (!path.startsWith(u'/') || ::lstat(item.constData(), &st) != 0) {
        *why = describe("Cannot trash", item, path.startsWith(u'/') ? errno : EINVAL);
        return false;
    }
    const QByteArray resolved = resolvedPath(item);
    if (resolved.isEmpty()) {
        *why = describe("Cannot trash", item, errno);
        return false;
    }
    const Trash home{homeTrashFolder(), {}};
    if (!rootMayUse(home, why))
        return false;
    // The data folder may not exist yet; the home Trash is made inside it.
    QDir().mkpath(QFile::decodeName(parentOf(home.folder)));
    struct stat dataHome {};
    const bool homeDevice = ::stat(parentOf(home.folder).constData(), &dataHome) == 0 && dataHome.st_dev == st.st_dev;
    if (homeDevice) {
        if (renameInto(home, item, resolved, why))
            return true;
        // The same file system mounted twice (a bind mount) cannot rename across.
        if (errno != EXDEV)
            return false;
    } else {
        for (const Trash& trash : topDirectoryTrashes(topDirectoryOf(resolved, st.st_dev))) {
            if (rootMayUse(trash, why) && renameInto(trash, item, resolved, why))
                return true;
        }
    }
    return copyInto(home, item, resolved, why);
}

bool recycleExactly(const QString& path, quint64 device, quint64 inode, QString* error)
{
    QString ignored;
    QString* why = error ? error : &ignored;
    const QByteArray item = QFile::encodeName(path);
    std::string reason;
    const int folder = privileged::openFolderWithoutLinks(parentOf(item).toStdString(), &reason);
    if (folder < 0) {
        *why = QStringLiteral("Not trashing %1: %2").arg(path, QString::fromStdString(reason));
        return false;
    }
    const QByteArray name = item.mid(item.lastIndexOf('/') + 1);
    struct stat st {};
    const bool same = ::fstatat(folder, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)
                      && st.st_dev == device && st.st_ino == inode;
    const Trash home{homeTrashFolder(), {}};
    if (!rootMayUse(home, why)) {
        ::close(folder);
        return false;
    }
    QDir().mkpath(QFile::decodeName(parentOf(home.folder)));
    struct stat dataHome {};
    const bool homeDevice = ::stat(parentOf(home.folder).constData(), &dataHome) == 0 && dataHome.st_dev == st.st_dev;
    QByteArray file;
    if (!same)
        *why = QStringLiteral("Not trashing %1: it is no longer the item that was there").arg(path);
    else if (!homeDevice)
        *why = QStringLiteral("Not trashing %1: it is not on the file system of the Trash").arg(path);
    else if (!prepare(home))
        *why = describe("Cannot use the Trash", home.folder, errno);
    else
        file = claim(home, item, why);
    bool moved = false;
    if (!file.isEmpty()) {
        moved = ::renameat(folder, name.constData(), AT_FDCWD, file.constData()) == 0;
        if (!moved) {
            *why = describe("Cannot move to the Trash", item, errno);
            ::unlink(infoFileOf(file).constData());
        }
    }
    ::close(folder);
    return moved;
}

} // namespace platform::workspace
