#include "UnzipManager.h"

#include "Logging.h"
#include "ZipCore.h"

#include <QFile>
#include <QFileInfo>

#include <unzip.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t kFolderMode = 0775;
constexpr mode_t kFileMode = 0666; // what fopen's "wb" asks for

QString printable(const QByteArray& name)
{
    return QString::fromUtf8(name);
}

// Whether the path to `name` inside `root` passes through, or ends at, an
// existing symbolic link; such a path could lead anywhere.
bool passesThroughSymbolicLink(const QByteArray& root, const QByteArray& name)
{
    for (qsizetype i = 0; i <= name.size(); ++i) {
        if (i < name.size() && name.at(i) != '/')
            continue;
        const QByteArray prefix = root + name.left(i);
        struct stat info {};
        if (::lstat(prefix.constData(), &info) != 0)
            return false; // nothing further down exists yet
        if (S_ISLNK(info.st_mode))
            return true;
    }
    return false;
}

int openDestination(const QByteArray& path)
{
    return ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, kFileMode);
}

// This minizip leaves a zip64 entry's sizes at their 32-bit marker (it never
// matches the marker on a 64-bit system), so such an entry's data is read
// from the archive directly, bounded by the sizes of its zip64 extra field.
constexpr ZPOS64_T kZip64Marker = 0xFFFFFFFFu;
constexpr unsigned kZip64ExtraId = 0x0001;

uint64_t littleEndian(const QByteArray& bytes, qsizetype at, int count)
{
    uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = (value << 8) | static_cast<uint8_t>(bytes.at(at + i));
    return value;
}

bool needsZip64Sizes(const unz_file_info64& info)
{
    return info.compressed_size == kZip64Marker || info.uncompressed_size == kZip64Marker;
}

// Replaces the marked sizes with those of the zip64 extra field.
bool takeZip64Sizes(const QByteArray& extra, unz_file_info64& info)
{
    for (qsizetype at = 0; at + 4 <= extra.size();) {
        const auto id = littleEndian(extra, at, 2);
        const auto size = static_cast<qsizetype>(littleEndian(extra, at + 2, 2));
        at += 4;
        if (at + size > extra.size())
            return false;
        if (id == kZip64ExtraId) {
            qsizetype field = at;
            const auto take = [&](ZPOS64_T& value) {
                if (value != kZip64Marker)
                    return true;
                if (field + 8 > at + size)
                    return false;
                value = littleEndian(extra, field, 8);
                field += 8;
                return true;
            };
            return take(info.uncompressed_size) && take(info.compressed_size);
        }
        at += size;
    }
    return false;
}

bool readAt(int fd, char* bytes, size_t count, off_t offset)
{
    while (count > 0) {
        const ssize_t got = ::pread(fd, bytes, count, offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        bytes += got;
        count -= static_cast<size_t>(got);
        offset += got;
    }
    return true;
}

// Copies a stored or deflated entry of `info`'s sizes starting at `offset` of
// the archive into `out`, checking its length and checksum: 0 or minizip's
// errors (-1 for a write that did not complete).
int copyZip64EntryData(int archive, off_t offset, const unz_file_info64& info, int out, char* buffer)
{
    const int method = static_cast<int>(info.compression_method);
    if (method != 0 && method != Z_DEFLATED)
        return UNZ_BADZIPFILE;
    const std::unique_ptr<char[]> input(new (std::nothrow) char[UnzipManager::kReadBufferSize]);
    z_stream stream{};
    if (!input || (method == Z_DEFLATED && inflateInit2(&stream, -MAX_WBITS) != Z_OK))
        return UnzipManager::kErrorInternal;
    uLong crc = crc32(0, nullptr, 0);
    ZPOS64_T remaining = info.compressed_size;
    ZPOS64_T written = 0;
    int err = UNZ_OK;
    const auto deliver = [&](const char* bytes, size_t count) {
        crc = crc32(crc, reinterpret_cast<const Bytef*>(bytes), static_cast<uInt>(count));
        written += count;
        return qbcore::writeAll(out, bytes, count);
    };
    for (;;) {
        if (stream.avail_in == 0 && remaining > 0) {
            const auto chunk = static_cast<size_t>(std::min<ZPOS64_T>(remaining, UnzipManager::kReadBufferSize));
            if (!readAt(archive, input.get(), chunk, offset)) {
                err = UNZ_ERRNO;
                break;
            }
            offset += static_cast<off_t>(chunk);
            remaining -= chunk;
            stream.next_in = reinterpret_cast<Bytef*>(input.get());
            stream.avail_in = static_cast<uInt>(chunk);
        }
        if (method == 0) {
            if (stream.avail_in == 0)
                break;
            if (!deliver(input.get(), stream.avail_in))
                err = -1;
            stream.avail_in = 0;
            if (err != UNZ_OK)
                break;
            continue;
        }
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = UnzipManager::kReadBufferSize;
        const int status = inflate(&stream, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END) {
            // No progress possible: the data ended before the deflated stream did.
            err = status == Z_BUF_ERROR ? UNZ_BADZIPFILE : status;
            break;
        }
        if (!deliver(buffer, UnzipManager::kReadBufferSize - stream.avail_out)) {
            err = -1;
            break;
        }
        if (status == Z_STREAM_END)
            break;
    }
    if (method == Z_DEFLATED)
        inflateEnd(&stream);
    if (err == UNZ_OK && (written != info.uncompressed_size || crc != info.crc))
        err = UNZ_CRCERROR;
    return err;
}

// minizip cannot open an archive whose end record sits at offset 0, which is
// exactly an archive without entries; recognise that one ourselves.
bool isEmptyArchive(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    constexpr qint64 kEndRecordSize = 22;
    const QByteArray record = file.read(kEndRecordSize);
    if (record.size() != kEndRecordSize || !record.startsWith("PK\x05\x06"))
        return false;
    const auto field = [&record](int offset) {
        return uint(uint8_t(record.at(offset))) | (uint(uint8_t(record.at(offset + 1))) << 8);
    };
    return field(8) == 0 && field(10) == 0 && kEndRecordSize + field(20) == file.size();
}

} // namespace

UnzipManager::UnzipManager(const QString& archivePath)
    : m_archiveFd(::open(QFile::encodeName(archivePath).constData(), O_RDONLY | O_CLOEXEC)),
      uf(m_archiveFd >= 0 ? qbcore::openZipDescriptor(m_archiveFd) : nullptr),
      m_archivePath(QFile::encodeName(archivePath)), m_outputPath(QFile::encodeName(QFileInfo(archivePath).path()) + '/'),
      m_isEmptyArchive(!uf && isEmptyArchive(archivePath))
{
}

UnzipManager::~UnzipManager()
{
    if (uf)
        unzClose(uf);
    if (m_archiveFd >= 0)
        ::close(m_archiveFd);
}

int UnzipManager::extractAll()
{
    if (m_isEmptyArchive)
        return UNZ_OK;
    unz_global_info64 global{};
    int err = unzGetGlobalInfo64(uf, &global);
    if (err != UNZ_OK)
        return err;
    // A failed entry ends the walk and is the answer: a caller must not take
    // a partly extracted archive for a complete one.
    int skipped = UNZ_OK;
    for (ZPOS64_T entry = 0; entry < global.number_entry; ++entry) {
        err = extractCurrentFile();
        if (err == kEntrySkipped) {
            if (skipped == UNZ_OK)
                skipped = UNZ_ERRNO;
            err = UNZ_OK;
        }
        if (err == UNZ_OK && entry + 1 < global.number_entry)
            err = unzGoToNextFile(uf);
        if (err != UNZ_OK) {
            logError("Zip extraction of \"%1\" stopped at entry %2 (error %3)", printable(m_archivePath), entry + 1, err);
            return err;
        }
    }
    return skipped;
}

int UnzipManager::extractCurrentFile()
{
    char nameBuffer[kNameBufferSize];
    unz_file_info64 info{};
    int err = unzGetCurrentFileInfo64(uf, &info, nameBuffer, sizeof nameBuffer, nullptr, 0, nullptr, 0);
    if (err != UNZ_OK)
        return err;
    if (info.size_filename >= sizeof nameBuffer) {
        logError("Skipping zip entry with a name of %1 bytes (at most %2)", info.size_filename, kNameBufferSize - 1);
        return UNZ_OK;
    }
    const QByteArray name(nameBuffer, static_cast<qsizetype>(::strnlen(nameBuffer, info.size_filename)));
    if (!qbcore::isContainedName(std::string_view(name.constData(), static_cast<size_t>(name.size())))
        || passesThroughSymbolicLink(m_outputPath, name)) {
        logError("Refusing zip entry \"%1\": it would be written outside \"%2\"", printable(name), printable(m_outputPath));
        return UNZ_OK;
    }
    const bool zip64 = needsZip64Sizes(info);
    if (zip64) {
        QByteArray extra(static_cast<qsizetype>(info.size_file_extra), '\0');
        err = unzGetCurrentFileInfo64(uf, nullptr, nullptr, 0, extra.data(), static_cast<uLong>(extra.size()), nullptr, 0);
        if (err != UNZ_OK)
            return err;
        if (!takeZip64Sizes(extra, info)) {
            logError("Zip entry \"%1\" has no valid zip64 sizes", printable(name));
            return UNZ_BADZIPFILE;
        }
    }
    const std::unique_ptr<char[]> buffer(new (std::nothrow) char[kReadBufferSize]);
    if (!buffer)
        return kErrorInternal;

    qsizetype lastSeparator = -1;
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (qbcore::isZipSeparator(name.at(i)))
            lastSeparator = i;
    }
    const QByteArray destination = m_outputPath + name;
    if (lastSeparator == name.size() - 1) { // a folder entry, or an empty name
        mymkdir(destination.constData());
        return UNZ_OK;
    }
    if (qbcore::entryKind(info, {}) == qbcore::ZipEntryKind::SymbolicLink)
        logVerbose("Zip entry \"%1\" is a symbolic link; written as a regular file", printable(name));

    // A zip64 entry is opened raw only to find where its data starts.
    int method = 0;
    err = zip64 ? unzOpenCurrentFile2(uf, &method, nullptr, 1) : unzOpenCurrentFilePassword(uf, nullptr);
    const off_t dataStart = zip64 ? static_cast<off_t>(unzGetCurrentFileZStreamPos64(uf)) : 0;
    if (err != UNZ_OK) {
        unzCloseCurrentFile(uf);
        logError("Zip entry \"%1\" cannot be read (error %2)", printable(name), err);
        return err;
    }
    int fd = openDestination(destination);
    if (fd < 0 && lastSeparator > 0) {
        makeEntryFolders(name.left(lastSeparator));
        fd = openDestination(destination);
    }
    bool skipped = false;
    if (fd >= 0 && zip64) {
        err = copyZip64EntryData(m_archiveFd, dataStart, info, fd, buffer.get());
    } else if (fd >= 0) {
        err = qbcore::copyEntryData(uf, fd, buffer.get(), kReadBufferSize);
    } else {
        skipped = true;
        logError("Cannot create \"%1\" (%2); entry skipped", printable(destination), QString::fromLocal8Bit(strerror(errno)));
    }
    if (fd >= 0 && ::close(fd) != 0 && err == UNZ_OK)
        err = -1; // the data did not reach the file
    const int closeErr = unzCloseCurrentFile(uf);
    if (err == UNZ_OK && !zip64)
        err = closeErr;
    if (err != UNZ_OK && fd >= 0) {
        // A partial or damaged file must not stay behind looking like the entry.
        ::unlink(destination.constData());
        logError("Zip entry \"%1\" could not be extracted (error %2); its file was removed", printable(name), err);
    }
    return skipped ? kEntrySkipped : err;
}

void UnzipManager::makeEntryFolders(const QByteArray& folderPart) const
{
    // Only the stored name's separators split it; the destination folder is
    // a path as given, backslashes included.
    for (qsizetype i = 1; i <= folderPart.size(); ++i) {
        if (i < folderPart.size() && !qbcore::isZipSeparator(folderPart.at(i)))
            continue;
        if (mymkdir((m_outputPath + folderPart.left(i)).constData()) == -1 && errno == ENOENT)
            return;
    }
}

int UnzipManager::mymkdir(const char* path)
{
    return ::mkdir(path, kFolderMode);
}

int UnzipManager::makedir(const char* path)
{
    if (!path || !*path)
        return 0;
    QByteArray buffer(path);
    if (buffer.endsWith('/'))
        buffer.chop(1);
    if (mymkdir(buffer.constData()) == 0)
        return 1;
    char* p = buffer.data() + 1;
    for (;;) {
        while (*p && !qbcore::isZipSeparator(*p))
            ++p;
        const char hold = *p;
        *p = 0;
        if (mymkdir(buffer.constData()) == -1 && errno == ENOENT)
            return 0;
        if (hold == 0)
            return 1;
        *p++ = hold;
    }
}
