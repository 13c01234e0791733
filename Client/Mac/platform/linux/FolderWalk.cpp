#include "FolderWalk.h"

#include <QFile>
#include <QFileInfo>
#include <QList>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::folders {
namespace {

QString systemError(int error = errno)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The components of an absolute path; false with `why` for a relative path
// or one that climbs with ".." (a walk never goes back up).
bool splitAbsolute(const QByteArray& bytes, QList<QByteArray>* parts, QString* why)
{
    const QString path = QFile::decodeName(bytes);
    if (!bytes.startsWith('/')) {
        *why = QStringLiteral("\"%1\" is not an absolute path").arg(path);
        return false;
    }
    for (const QByteArray& part : bytes.split('/')) {
        if (part.isEmpty() || part == ".")
            continue;
        if (part == "..") {
            *why = QStringLiteral("\"%1\" climbs with \"..\"").arg(path);
            return false;
        }
        parts->append(part);
    }
    return true;
}

// Others can write it: a group other than root's, or anyone.
bool othersCanWrite(const struct stat& status)
{
    return (status.st_mode & S_IWOTH) != 0 || ((status.st_mode & S_IWGRP) != 0 && status.st_gid != 0);
}

// Others can put another entry in its place: writable by them without the
// sticky bit that keeps them to their own entries.
bool othersCanReplaceEntries(const struct stat& status)
{
    return othersCanWrite(status) && (status.st_mode & S_ISVTX) == 0;
}

QString whyRefused(const struct stat& status, const QString& shown, long alsoOwnedBy)
{
    if (S_ISLNK(status.st_mode))
        return QStringLiteral("\"%1\" is a symbolic link").arg(shown);
    if (!S_ISDIR(status.st_mode))
        return QStringLiteral("\"%1\" is not a folder").arg(shown);
    const uid_t self = ::geteuid();
    const bool accepted = status.st_uid == self || status.st_uid == 0
                          || (alsoOwnedBy >= 0 && status.st_uid == uid_t(alsoOwnedBy));
    if (!accepted)
        return QStringLiteral("\"%1\" belongs to another user (%2)").arg(shown).arg(status.st_uid);
    // Our own folder is ours to open up, except for root, whose folders nobody else may change.
    if ((status.st_uid != self || self == 0) && othersCanReplaceEntries(status))
        return QStringLiteral("\"%1\" can be changed by other users").arg(shown);
    return {};
}

// Opens `name` in `parent` without following a link; `why` tells a link apart.
int openComponent(int parent, const QByteArray& name, int flags, const QString& shown, QString* why)
{
    int fd;
    do {
        fd = ::openat(parent, name.constData(), flags | O_NOFOLLOW | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0)
        return fd;
    const int error = errno;
    struct stat status {};
    if (::fstatat(parent, name.constData(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode))
        *why = QStringLiteral("\"%1\" is a symbolic link").arg(shown);
    else
        *why = QStringLiteral("Cannot open \"%1\": %2").arg(shown, systemError(error));
    return -1;
}

} // namespace

int openFolder(const QString& path, bool create, QString* why, long alsoOwnedBy)
{
    QString ignored;
    QString& reason = why ? *why : ignored;
    QList<QByteArray> parts;
    if (!splitAbsolute(QFile::encodeName(path), &parts, &reason))
        return -1;
    int fd = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    QString shown = QStringLiteral("/");
    for (qsizetype i = 0; fd >= 0 && i <= parts.size(); ++i) {
        struct stat status {};
        if (::fstat(fd, &status) != 0 || !(reason = whyRefused(status, shown, alsoOwnedBy)).isEmpty()) {
            if (reason.isEmpty())
                reason = systemError();
            ::close(fd);
            return -1;
        }
        if (i == parts.size())
            break;
        const QByteArray& name = parts.at(i);
        shown = (i == 0 ? QString() : shown) + u'/' + QFile::decodeName(name);
        if (create && ::mkdirat(fd, name.constData(), 0777) != 0 && errno != EEXIST) {
            reason = QStringLiteral("Cannot create \"%1\": %2").arg(shown, systemError());
            ::close(fd);
            return -1;
        }
        // Passing through needs search rights only; the last folder is opened for reading.
        const int flags = (i + 1 == parts.size() ? O_RDONLY : O_PATH) | O_DIRECTORY;
        const int next = openComponent(fd, name, flags, shown, &reason);
        ::close(fd);
        fd = next;
    }
    if (fd < 0 && reason.isEmpty())
        reason = systemError();
    return fd;
}

QString whyNotRootOnly(const QString& path)
{
    return whyNotRootOnly(QFile::encodeName(path));
}

QString whyRootMayNotWriteIn(const QString& folder)
{
    if (::geteuid() != 0)
        return {};
    QString existing = QFileInfo(folder).absoluteFilePath();
    while (!QFileInfo::exists(existing) && !QFileInfo(existing).isSymLink() && existing != QStringLiteral("/"))
        existing = QFileInfo(existing).absolutePath();
    return whyNotRootOnly(existing);
}

QString whyNotRootOnly(const QByteArray& path)
{
    QString why;
    QList<QByteArray> parts;
    if (!splitAbsolute(path, &parts, &why))
        return why;
    int fd = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    QString shown = QStringLiteral("/");
    for (qsizetype i = 0; fd >= 0; ++i) {
        struct stat status {};
        if (::fstat(fd, &status) != 0)
            why = QStringLiteral("\"%1\" cannot be examined").arg(shown);
        else if (S_ISLNK(status.st_mode))
            why = QStringLiteral("\"%1\" is a symbolic link").arg(shown);
        else if (status.st_uid != 0 || (S_ISDIR(status.st_mode) ? othersCanReplaceEntries(status) : othersCanWrite(status)))
            why = QStringLiteral("\"%1\" can be changed by users other than root").arg(shown);
        if (!why.isEmpty() || i == parts.size())
            break;
        shown = (i == 0 ? QString() : shown) + u'/' + QFile::decodeName(parts.at(i));
        const int next = ::openat(fd, parts.at(i).constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0)
            why = QStringLiteral("\"%1\" cannot be examined").arg(shown);
        ::close(fd);
        fd = next;
    }
    if (fd >= 0)
        ::close(fd);
    return why;
}

long ownerOf(const QString& path)
{
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return -1;
    return long(status.st_uid);
}

int createUnnamedFile(int folderFd, unsigned mode, QString* why)
{
    int fd;
    do {
        fd = ::openat(folderFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode_t(mode));
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 && why)
        *why = systemError();
    return fd;
}

bool linkUnnamedFile(int fd, int folderFd, const QByteArray& name, QString* why)
{
    if (::linkat(fd, "", folderFd, name.constData(), AT_EMPTY_PATH) == 0)
        return true;
    // Without the capability AT_EMPTY_PATH needs, the descriptor's own entry in /proc names the same file.
    const int error = errno;
    if (error == ENOENT || error == EPERM) {
        const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
        if (::linkat(AT_FDCWD, self.constData(), folderFd, name.constData(), AT_SYMLINK_FOLLOW) == 0)
            return true;
    }
    if (why)
        *why = systemError(errno);
    return false;
}

} // namespace platform::folders
