#include "UnzipManager.h"

#include "Logging.h"

#include <QFile>
#include <QFileInfo>

#include <unzip.h>

#include <cctype>
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
constexpr unsigned kHostUnix = 3;

bool isSeparator(char c)
{
    return c == '/' || c == '\\';
}

QString printable(const QByteArray& name)
{
    return QString::fromUtf8(name);
}

// Whether a stored name stays inside the destination: not absolute, no drive
// letter, no ".." component, whichever separator it uses.
bool isContainedName(const QByteArray& name)
{
    if (!name.isEmpty() && isSeparator(name.front()))
        return false;
    if (name.size() >= 2 && name.at(1) == ':' && std::isalpha(static_cast<unsigned char>(name.at(0))))
        return false;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= name.size(); ++i) {
        if (i < name.size() && !isSeparator(name.at(i)))
            continue;
        if (name.sliced(start, i - start) == "..")
            return false;
        start = i + 1;
    }
    return true;
}

// Whether the path to `name` inside `root` passes through, or ends at, an
// existing symbolic link; such a path could lead anywhere.
bool passesThroughSymbolicLink(const QByteArray& root, const QByteArray& name)
{
    for (qsizetype i = 0; i <= name.size(); ++i) {
        if (i < name.size() && name.at(i) != '/')
            continue;
        const QByteArray prefix = root + name.left(i);
        struct stat info{};
        if (::lstat(prefix.constData(), &info) != 0)
            return false; // nothing further down exists yet
        if (S_ISLNK(info.st_mode))
            return true;
    }
    return false;
}

bool isSymbolicLinkEntry(const unz_file_info64& info)
{
    return (info.version >> 8) == kHostUnix && S_ISLNK(static_cast<mode_t>(info.external_fa >> 16));
}

int openDestination(const QByteArray& path)
{
    return ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, kFileMode);
}

bool writeAll(int fd, const char* bytes, size_t count)
{
    while (count > 0) {
        const ssize_t written = ::write(fd, bytes, count);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes += written;
        count -= static_cast<size_t>(written);
    }
    return true;
}

// Copies the open entry's data into `fd`: 0, a negative read error, or -1
// for a write that did not complete.
int copyEntryData(unzFile uf, int fd, char* buffer)
{
    for (;;) {
        const int got = unzReadCurrentFile(uf, buffer, UnzipManager::kReadBufferSize);
        if (got <= 0)
            return got;
        if (!writeAll(fd, buffer, static_cast<size_t>(got)))
            return -1;
    }
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
    : uf(unzOpen64(QFile::encodeName(archivePath).constData()))
    , m_outputPath(QFile::encodeName(QFileInfo(archivePath).path()) + '/')
    , m_isEmptyArchive(!uf && isEmptyArchive(archivePath))
{
}

UnzipManager::~UnzipManager()
{
    if (uf)
        unzClose(uf);
}

int UnzipManager::extractAll()
{
    if (m_isEmptyArchive)
        return UNZ_OK;
    unz_global_info64 global{};
    const int err = unzGetGlobalInfo64(uf, &global);
    if (err != UNZ_OK)
        return err;
    for (ZPOS64_T entry = 0; entry < global.number_entry; ++entry) {
        if (extractCurrentFile() != UNZ_OK)
            break;
        if (entry + 1 < global.number_entry && unzGoToNextFile(uf) != UNZ_OK)
            break;
    }
    return UNZ_OK;
}

int UnzipManager::extractCurrentFile()
{
    char nameBuffer[kNameBufferSize];
    unz_file_info64 info{};
    int err = unzGetCurrentFileInfo64(uf, &info, nameBuffer, sizeof nameBuffer, nullptr, 0, nullptr, 0);
    if (err != UNZ_OK)
        return err;
    if (info.size_filename >= sizeof nameBuffer) {
        logError("Skipping zip entry with a name of %1 bytes (at most %2)", info.size_filename,
                 kNameBufferSize - 1);
        return UNZ_OK;
    }
    const QByteArray name(nameBuffer, static_cast<qsizetype>(::strnlen(nameBuffer, info.size_filename)));
    if (!isContainedName(name) || passesThroughSymbolicLink(m_outputPath, name)) {
        logError("Refusing zip entry \"%1\": it would be written outside \"%2\"", printable(name),
                 printable(m_outputPath));
        return UNZ_OK;
    }
    const std::unique_ptr<char[]> buffer(new (std::nothrow) char[kReadBufferSize]);
    if (!buffer)
        return kErrorInternal;

    qsizetype lastSeparator = -1;
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (isSeparator(name.at(i)))
            lastSeparator = i;
    }
    const QByteArray destination = m_outputPath + name;
    if (lastSeparator == name.size() - 1) { // a folder entry, or an empty name
        mymkdir(destination.constData());
        return UNZ_OK;
    }
    if (isSymbolicLinkEntry(info))
        logVerbose("Zip entry \"%1\" is a symbolic link; written as a regular file", printable(name));

    err = unzOpenCurrentFilePassword(uf, nullptr);
    if (err != UNZ_OK) {
        unzCloseCurrentFile(uf);
        return err;
    }
    int fd = openDestination(destination);
    if (fd < 0 && lastSeparator > 0) {
        makedir((m_outputPath + name.left(lastSeparator)).constData());
        fd = openDestination(destination);
    }
    if (fd >= 0) {
        err = copyEntryData(uf, fd, buffer.get());
        ::close(fd);
    } else {
        logError("Cannot create \"%1\" (%2); entry skipped", printable(destination),
                 QString::fromLocal8Bit(strerror(errno)));
    }
    const int closeErr = unzCloseCurrentFile(uf);
    if (err == UNZ_OK)
        err = closeErr;
    if (err != UNZ_OK && fd >= 0) {
        // A partial or damaged file must not stay behind looking like the entry.
        ::unlink(destination.constData());
        logError("Zip entry \"%1\" could not be extracted (error %2); its file was removed", printable(name), err);
    }
    return err;
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
        while (*p && !isSeparator(*p))
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
