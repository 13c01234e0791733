#include "FileManager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::files {
namespace {

QByteArray native(const QString& path)
{
    return QFile::encodeName(path);
}

bool fail(QString* error, const QString& what, const QString& path, int err = errno)
{
    if (error)
        *error = QStringLiteral("%1 \"%2\": %3").arg(what, path, QString::fromLocal8Bit(std::strerror(err)));
    return false;
}

using AfterEachFile = std::function<void(qint64 bytes)>;

bool copyFile(const QString& source, const QString& destination, mode_t mode, QString* error)
{
    const int in = ::open(native(source).constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return fail(error, QStringLiteral("Cannot read"), source);
    const int out = ::open(native(destination).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        const int err = errno;
        ::close(in);
        return fail(error, QStringLiteral("Cannot create"), destination, err);
    }
    char buffer[1 << 16];
    bool ok = true;
    int err = 0;
    for (;;) {
        const ssize_t got = ::read(in, buffer, sizeof buffer);
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            ok = false;
            err = errno;
            break;
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t wrote = ::write(out, buffer + done, size_t(got - done));
            if (wrote < 0 && errno == EINTR)
                continue;
            if (wrote <= 0) {
                ok = false;
                err = errno;
                break;
            }
            done += wrote;
        }
        if (!ok)
            break;
    }
    ::close(in);
    if (ok && ::fchmod(out, mode & 07777) != 0) {
        ok = false;
        err = errno;
    }
    if (::close(out) != 0 && ok) {
        ok = false;
        err = errno;
    }
    return ok || fail(error, QStringLiteral("Cannot copy to"), destination, err);
}

bool copyTree(const QString& source, const QString& destination, QString* error, const AfterEachFile& afterEachFile)
{
    struct stat st {};
    if (::lstat(native(source).constData(), &st) != 0)
        return fail(error, QStringLiteral("Cannot read"), source);
    if (S_ISLNK(st.st_mode)) {
        char raw[4096];
        const ssize_t length = ::readlink(native(source).constData(), raw, sizeof raw - 1);
        if (length < 0)
            return fail(error, QStringLiteral("Cannot read link"), source);
        raw[length] = 0;
        if (::symlink(raw, native(destination).constData()) != 0)
            return fail(error, QStringLiteral("Cannot create link"), destination);
        if (afterEachFile)
            afterEachFile(0);
        return true;
    }
    if (S_ISDIR(st.st_mode)) {
        QList<QByteArray> undecodable;
        const std::optional<QStringList> names = listDirectory(source, &undecodable);
        if (!names)
            return fail(error, QStringLiteral("Cannot read"), source);
        if (!undecodable.isEmpty())
            return fail(error, QStringLiteral("Cannot name an entry (not UTF-8) of"), source, EILSEQ);
        if (::mkdir(native(destination).constData(), 0700) != 0)
            return fail(error, QStringLiteral("Cannot create"), destination);
        for (const QString& name : *names) {
            if (!copyTree(source + u'/' + name, destination + u'/' + name, error, afterEachFile))
                return false;
        }
        if (::chmod(native(destination).constData(), st.st_mode & 07777) != 0)
            return fail(error, QStringLiteral("Cannot set the mode of"), destination);
        return true;
    }
    if (S_ISREG(st.st_mode)) {
        if (!copyFile(source, destination, st.st_mode, error))
            return false;
        if (afterEachFile)
            afterEachFile(qint64(st.st_size));
        return true;
    }
    return fail(error, QStringLiteral("Cannot copy special file"), source, ENOTSUP);
}

// Through descriptors and the listings' file types, which most file systems
// fill in; only where one does not is an entry looked at. Takes over `folderFd`.
qint64 countInFolder(int folderFd)
{
    DIR* listing = ::fdopendir(folderFd);
    if (!listing) {
        ::close(folderFd);
        return 0;
    }
    qint64 files = 0;
    while (const dirent* entry = ::readdir(listing)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        unsigned char type = entry->d_type;
        struct stat st {};
        if (type == DT_UNKNOWN) {
            if (::fstatat(::dirfd(listing), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            type = IFTODT(st.st_mode);
        }
        if (type != DT_DIR) {
            ++files;
            continue;
        }
        const int child = ::openat(::dirfd(listing), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child >= 0)
            files += countInFolder(child);
    }
    ::closedir(listing);
    return files;
}

} // namespace

std::optional<QString> decodeExactly(const QByteArray& bytes)
{
    const QString text = QFile::decodeName(bytes);
    if (QFile::encodeName(text) != bytes)
        return std::nullopt;
    return text;
}

bool fileExists(const QString& path)
{
    struct stat st {};
    return !path.isEmpty() && ::stat(native(path).constData(), &st) == 0;
}

bool isDirectory(const QString& path)
{
    struct stat st {};
    return !path.isEmpty() && ::stat(native(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<Attributes> attributesOfItem(const QString& path)
{
    struct stat st {};
    if (path.isEmpty() || ::lstat(native(path).constData(), &st) != 0)
        return std::nullopt;
    Attributes attributes;
    attributes.ownerId = st.st_uid;
    attributes.posixPermissions = st.st_mode & 07777;
    attributes.isDirectory = S_ISDIR(st.st_mode);
    attributes.isSymbolicLink = S_ISLNK(st.st_mode);
    attributes.size = st.st_size;
    return attributes;
}

QString accountName(uint userId)
{
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(uid_t(userId), &entry, buffer, sizeof buffer, &found) == 0 && found)
        return QString::fromLocal8Bit(found->pw_name);
    return {};
}

std::optional<FileIdentity> identityOf(const QString& path)
{
    struct stat st {};
    if (path.isEmpty() || ::stat(native(path).constData(), &st) != 0)
        return std::nullopt;
    return FileIdentity{quint64(st.st_dev), quint64(st.st_ino)};
}

bool isWritable(const QString& path)
{
    return !path.isEmpty() && ::access(native(path).constData(), W_OK) == 0;
}

bool createDirectory(const QString& path, uint mode, QString* error)
{
    if (path.isEmpty())
        return fail(error, QStringLiteral("Cannot create"), path, ENOENT);
    QString partial;
    const QStringList parts = QDir::cleanPath(path).split(u'/');
    for (qsizetype i = 0; i < parts.size(); ++i) {
        partial += (i == 0 ? QString() : QStringLiteral("/")) + parts.at(i);
        if (partial.isEmpty())
            continue;
        if (::mkdir(native(partial).constData(), mode_t(mode)) != 0 && errno != EEXIST)
            return fail(error, QStringLiteral("Cannot create"), partial);
    }
    return isDirectory(path) || fail(error, QStringLiteral("Cannot create"), path, ENOTDIR);
}

qint64 countFiles(const QString& path)
{
    struct stat st {};
    if (::lstat(native(path).constData(), &st) != 0)
        return 0;
    if (!S_ISDIR(st.st_mode))
        return 1;
    const int folder = ::open(native(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    return folder < 0 ? 0 : countInFolder(folder);
}

bool copyItem(const QString& source, const QString& destination, QString* error, const AfterEachFile& afterEachFile)
{
    struct stat st {};
    if (::lstat(native(destination).constData(), &st) == 0)
        return fail(error, QStringLiteral("Cannot copy over existing"), destination, EEXIST);
    if (copyTree(source, destination, error, afterEachFile))
        return true;
    removeCopy(destination); // nothing half-copied stays behind
    return false;
}

bool removeItem(const QString& path, QString* error)
{
    struct stat st {};
    if (::lstat(native(path).constData(), &st) != 0)
        return fail(error, QStringLiteral("Cannot remove"), path);
    if (S_ISDIR(st.st_mode)) {
        QList<QByteArray> undecodable;
        const std::optional<QStringList> names = listDirectory(path, &undecodable);
        if (!names)
            return fail(error, QStringLiteral("Cannot read"), path);
        if (!undecodable.isEmpty())
            return fail(error, QStringLiteral("Cannot name an entry (not UTF-8) of"), path, EILSEQ);
        for (const QString& name : *names) {
            if (!removeItem(path + u'/' + name, error))
                return false;
        }
        if (::rmdir(native(path).constData()) != 0)
            return fail(error, QStringLiteral("Cannot remove"), path);
        return true;
    }
    if (::unlink(native(path).constData()) != 0)
        return fail(error, QStringLiteral("Cannot remove"), path);
    return true;
}

namespace {

// Takes away a half-made copy: its folders may already carry the source's
// read-only modes, and they are ours to open up again.
void removeOpenedUp(const QString& path)
{
    struct stat st {};
    if (::lstat(native(path).constData(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        ::chmod(native(path).constData(), 0700);
        for (const QString& name : contentsOfDirectory(path))
            removeOpenedUp(path + u'/' + name);
        ::rmdir(native(path).constData());
        return;
    }
    ::unlink(native(path).constData());
}

} // namespace

bool removeCopy(const QString& path)
{
    removeOpenedUp(path);
    struct stat st {};
    return ::lstat(native(path).constData(), &st) != 0 && errno == ENOENT;
}

bool renameItem(const QString& source, const QString& destination, QString* error)
{
    if (::renameat2(AT_FDCWD, native(source).constData(), AT_FDCWD, native(destination).constData(), RENAME_NOREPLACE) != 0)
        return fail(error, QStringLiteral("Cannot rename to"), destination);
    return true;
}

QStringList contentsOfDirectory(const QString& path)
{
    QStringList names;
    DIR* dir = ::opendir(native(path).constData());
    if (!dir)
        return names;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.append(QFile::decodeName(entry->d_name));
    }
    ::closedir(dir);
    return names;
}

std::optional<QStringList> listDirectory(const QString& path, QList<QByteArray>* undecodable)
{
    DIR* dir = ::opendir(native(path).constData());
    if (!dir)
        return std::nullopt;
    QStringList names;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (!entry)
            break;
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        const QByteArray bytes(entry->d_name);
        if (const auto name = decodeExactly(bytes))
            names.append(*name);
        else if (undecodable)
            undecodable->append(bytes);
    }
    const int err = errno;
    ::closedir(dir);
    if (err != 0)
        return std::nullopt;
    return names;
}

} // namespace platform::files
