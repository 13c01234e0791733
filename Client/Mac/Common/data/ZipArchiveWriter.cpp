#include "ZipArchiveWriter.h"

#include "FolderWalk.h"

#include <QFile>
#include <QFileInfo>

#include <zip.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// minizip writes through these over the descriptor we created, so the
// archive is exactly the unnamed file we made.
struct Descriptor {
    int fd = -1;
    bool failed = false;
    int failure = 0; // the system's error of the failed write, 0 when it said none
};

voidpf openDescriptor(voidpf opaque, const void*, int)
{
    return opaque;
}

uLong readDescriptor(voidpf, voidpf stream, void* buffer, uLong size)
{
    auto* file = static_cast<Descriptor*>(stream);
    ssize_t got;
    do {
        got = ::read(file->fd, buffer, size);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        file->failed = true;
        return 0;
    }
    return uLong(got);
}

uLong writeDescriptor(voidpf, voidpf stream, const void* buffer, uLong size)
{
    auto* file = static_cast<Descriptor*>(stream);
    const char* bytes = static_cast<const char*>(buffer);
    uLong written = 0;
    while (written < size) {
        const ssize_t put = ::write(file->fd, bytes + written, size - written);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            file->failed = true;
            file->failure = put < 0 ? errno : ENOSPC;
            break;
        }
        written += uLong(put);
    }
    return written;
}

ZPOS64_T tellDescriptor(voidpf, voidpf stream)
{
    const off_t position = ::lseek(static_cast<Descriptor*>(stream)->fd, 0, SEEK_CUR);
    return position < 0 ? ZPOS64_T(-1) : ZPOS64_T(position);
}

long seekDescriptor(voidpf, voidpf stream, ZPOS64_T offset, int origin)
{
    int whence = SEEK_SET;
    if (origin == ZLIB_FILEFUNC_SEEK_CUR)
        whence = SEEK_CUR;
    else if (origin == ZLIB_FILEFUNC_SEEK_END)
        whence = SEEK_END;
    return ::lseek(static_cast<Descriptor*>(stream)->fd, off_t(offset), whence) < 0 ? -1 : 0;
}

int closeDescriptor(voidpf, voidpf)
{
    return 0; // the writer closes it after syncing
}

int descriptorError(voidpf, voidpf stream)
{
    return static_cast<Descriptor*>(stream)->failed ? 1 : 0;
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

zip_fileinfo infoFor(time_t when)
{
    zip_fileinfo info{};
    tm local{};
    localtime_r(&when, &local);
    info.tmz_date.tm_sec = uInt(local.tm_sec);
    info.tmz_date.tm_min = uInt(local.tm_min);
    info.tmz_date.tm_hour = uInt(local.tm_hour);
    info.tmz_date.tm_mday = uInt(local.tm_mday);
    info.tmz_date.tm_mon = uInt(local.tm_mon);
    info.tmz_date.tm_year = uInt(local.tm_year + 1900);
    info.external_fa = uLong(S_IFREG | 0644) << 16;
    return info;
}

} // namespace

struct ZipArchiveWriter::State {
    QByteArray name;
    int folderFd = -1;
    Descriptor descriptor;
    zipFile archive = nullptr;
    qint64 added = 0;

    bool openEntry(const QByteArray& entry, time_t when)
    {
        const zip_fileinfo info = infoFor(when);
        constexpr uLong kMadeOnUnix = (3u << 8) | 20u;
        return zipOpenNewFileInZip4_64(archive, entry.constData(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                                       Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0,
                                       kMadeOnUnix, 0, 0)
               == ZIP_OK;
    }

    // What went wrong with the archive's file, in the system's words when it gave any.
    QString writeFailure() const
    {
        const QString failed = QStringLiteral("writing the archive failed");
        if (!descriptor.failure)
            return failed;
        return failed + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(descriptor.failure));
    }

    bool write(const char* bytes, size_t size)
    {
        added += qint64(size);
        return zipWriteInFileInZip(archive, bytes, unsigned(size)) == ZIP_OK;
    }

    // Copies up to `left` bytes from `fd` into the open entry.
    bool copy(int fd, off_t left, QString* error)
    {
        char buffer[65536];
        while (left > 0) {
            const ssize_t got = ::read(fd, buffer, size_t(std::min<off_t>(left, off_t(sizeof buffer))));
            if (got < 0 && errno == EINTR)
                continue;
            if (got == 0)
                return true; // a file that shrank ends early
            if (got < 0) {
                if (error)
                    *error = systemError();
                return false;
            }
            if (!write(buffer, size_t(got))) {
                if (error)
                    *error = writeFailure();
                return false;
            }
            left -= got;
        }
        return true;
    }
};

ZipArchiveWriter::ZipArchiveWriter() : d(std::make_unique<State>()) {}

ZipArchiveWriter::~ZipArchiveWriter()
{
    if (d->archive)
        zipClose(d->archive, nullptr);
    if (d->descriptor.fd >= 0)
        ::close(d->descriptor.fd); // never linked in: the system drops it
    if (d->folderFd >= 0)
        ::close(d->folderFd);
}

bool ZipArchiveWriter::create(const QString& path, QString* error)
{
    const QFileInfo info(path);
    d->name = QFile::encodeName(info.fileName());
    d->folderFd = ::open(QFile::encodeName(info.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d->folderFd < 0 || d->name.isEmpty()) {
        if (error)
            *error = d->name.isEmpty() ? QStringLiteral("no file name") : systemError();
        return false;
    }
    struct stat existing {};
    if (::fstatat(d->folderFd, d->name.constData(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        if (error)
            *error = QString::fromLocal8Bit(std::strerror(EEXIST));
        return false;
    }
    d->descriptor.fd = platform::folders::createUnnamedFile(d->folderFd, 0600, error);
    if (d->descriptor.fd < 0)
        return false;
    zlib_filefunc64_def functions{};
    functions.zopen64_file = openDescriptor;
    functions.zread_file = readDescriptor;
    functions.zwrite_file = writeDescriptor;
    functions.ztell64_file = tellDescriptor;
    functions.zseek64_file = seekDescriptor;
    functions.zclose_file = closeDescriptor;
    functions.zerror_file = descriptorError;
    functions.opaque = &d->descriptor;
    d->archive = zipOpen2_64(d->name.constData(), APPEND_STATUS_CREATE, nullptr, &functions);
    if (!d->archive) {
        if (error)
            *error = QStringLiteral("the archive could not be started");
        return false;
    }
    return true;
}

bool ZipArchiveWriter::addData(const QByteArray& entryName, const QByteArray& data, QString* error)
{
    const bool ok = d->archive && d->openEntry(entryName, std::time(nullptr))
                    && d->write(data.constData(), size_t(data.size()));
    const bool closed = d->archive && zipCloseFileInZip(d->archive) == ZIP_OK;
    if ((!ok || !closed) && error)
        *error = d->writeFailure();
    return ok && closed;
}

bool ZipArchiveWriter::addFile(const QByteArray& entryName, int folderFd, const QByteArray& name, qint64 limit, QString* error)
{
    // Non-blocking: a FIFO planted under a log file's name must not hang us.
    int fd;
    do {
        fd = ::openat(folderFd, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (error)
            *error = systemError();
        return false;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        if (error)
            *error = QStringLiteral("not a regular file");
        return false;
    }
    if (!d->archive || !d->openEntry(entryName, status.st_mtime)) {
        ::close(fd);
        if (error)
            *error = d->writeFailure();
        return false;
    }
    // A file still being written (our own log) is read up to the length it had;
    // a long one from its last `limit` bytes, which a log keeps its latest in.
    off_t left = status.st_size;
    bool ok = true;
    if (limit >= 0 && left > off_t(limit)) {
        const QByteArray note = QStringLiteral("[The first %1 bytes of this file are left out; its last %2 follow.]\n")
                                    .arg(qint64(left - off_t(limit)))
                                    .arg(limit)
                                    .toUtf8();
        ok = d->write(note.constData(), size_t(note.size())) && ::lseek(fd, off_t(-limit), SEEK_END) >= 0;
        if (!ok && error)
            *error = d->writeFailure();
        left = off_t(limit);
    }
    ok = ok && d->copy(fd, left, error);
    ::close(fd);
    const bool closed = zipCloseFileInZip(d->archive) == ZIP_OK;
    if (ok && !closed && error)
        *error = d->writeFailure();
    return ok && closed;
}

qint64 ZipArchiveWriter::bytesAdded() const
{
    return d->added;
}

bool ZipArchiveWriter::finish(QString* error)
{
    if (!d->archive || d->descriptor.fd < 0)
        return false;
    const int closed = zipClose(d->archive, nullptr);
    d->archive = nullptr;
    if (closed != ZIP_OK || d->descriptor.failed || ::fsync(d->descriptor.fd) != 0) {
        if (error)
            *error = d->descriptor.failed ? d->writeFailure() : systemError();
        return false;
    }
    if (!platform::folders::linkUnnamedFile(d->descriptor.fd, d->folderFd, d->name, error))
        return false;
    // Linked in and synced: the name may still lack its folder's sync, never its data.
    ::fsync(d->folderFd);
    ::close(d->descriptor.fd);
    d->descriptor.fd = -1;
    return true;
}
