#include "ZipCore.h"

#include <cctype>
#include <cerrno>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace qbcore {
namespace {

constexpr unsigned kHostUnix = 3;

struct DescriptorStream {
    int fd;
    ZPOS64_T position = 0;
    int error = 0;
};

voidpf openStream(voidpf, const void* descriptor, int mode)
{
    if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ || !descriptor)
        return nullptr;
    return new (std::nothrow) DescriptorStream{*static_cast<const int*>(descriptor)};
}

uLong readStream(voidpf, voidpf stream, void* buffer, uLong size)
{
    auto* s = static_cast<DescriptorStream*>(stream);
    uLong done = 0;
    while (done < size) {
        const ssize_t got = ::pread(s->fd, static_cast<char*>(buffer) + done, size - done, static_cast<off_t>(s->position));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            s->error = errno;
            break;
        }
        if (got == 0)
            break;
        done += static_cast<uLong>(got);
        s->position += static_cast<ZPOS64_T>(got);
    }
    return done;
}

uLong writeStream(voidpf, voidpf, const void*, uLong)
{
    return 0;
}

ZPOS64_T tellStream(voidpf, voidpf stream)
{
    return static_cast<DescriptorStream*>(stream)->position;
}

long seekStream(voidpf, voidpf stream, ZPOS64_T offset, int origin)
{
    auto* s = static_cast<DescriptorStream*>(stream);
    ZPOS64_T base = 0;
    switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
        break;
    case ZLIB_FILEFUNC_SEEK_CUR:
        base = s->position;
        break;
    case ZLIB_FILEFUNC_SEEK_END: {
        struct stat info {};
        if (::fstat(s->fd, &info) != 0)
            return -1;
        base = static_cast<ZPOS64_T>(info.st_size);
        break;
    }
    default:
        return -1;
    }
    s->position = base + offset;
    return 0;
}

int closeStream(voidpf, voidpf stream)
{
    delete static_cast<DescriptorStream*>(stream);
    return 0;
}

int errorOfStream(voidpf, voidpf stream)
{
    return static_cast<DescriptorStream*>(stream)->error;
}

} // namespace

bool isZipSeparator(char c)
{
    return c == '/' || c == '\\';
}

bool isContainedName(std::string_view name)
{
    if (!name.empty() && isZipSeparator(name.front()))
        return false;
    if (name.size() >= 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0])))
        return false;
    size_t start = 0;
    for (size_t i = 0; i <= name.size(); ++i) {
        if (i < name.size() && !isZipSeparator(name[i]))
            continue;
        if (name.substr(start, i - start) == "..")
            return false;
        start = i + 1;
    }
    return true;
}

ZipEntryKind entryKind(const unz_file_info64& info, std::string_view name)
{
    if ((info.version >> 8) == kHostUnix) {
        const auto mode = static_cast<mode_t>(info.external_fa >> 16);
        if (S_ISLNK(mode))
            return ZipEntryKind::SymbolicLink;
        if (S_ISDIR(mode))
            return ZipEntryKind::Folder;
        if (S_ISCHR(mode) || S_ISBLK(mode) || S_ISFIFO(mode) || S_ISSOCK(mode))
            return ZipEntryKind::Special;
        if (S_ISREG(mode))
            return ZipEntryKind::File;
        // No file type recorded: fall back on the name.
    }
    return !name.empty() && isZipSeparator(name.back()) ? ZipEntryKind::Folder : ZipEntryKind::File;
}

int entryPermissions(const unz_file_info64& info)
{
    if ((info.version >> 8) != kHostUnix)
        return -1;
    const auto mode = static_cast<mode_t>(info.external_fa >> 16);
    return (mode & S_IFMT) == 0 && (mode & 07777) == 0 ? -1 : static_cast<int>(mode & 07777);
}

unzFile openZipDescriptor(int fd)
{
    zlib_filefunc64_def functions{};
    functions.zopen64_file = openStream;
    functions.zread_file = readStream;
    functions.zwrite_file = writeStream;
    functions.ztell64_file = tellStream;
    functions.zseek64_file = seekStream;
    functions.zclose_file = closeStream;
    functions.zerror_file = errorOfStream;
    return unzOpen2_64(&fd, &functions);
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

int copyEntryData(unzFile uf, int fd, char* buffer, unsigned bufferSize, unsigned long long limit)
{
    unsigned long long total = 0;
    for (;;) {
        const int got = unzReadCurrentFile(uf, buffer, bufferSize);
        if (got <= 0)
            return got;
        total += static_cast<unsigned>(got);
        if (total > limit)
            return UNZ_BADZIPFILE;
        if (!writeAll(fd, buffer, static_cast<size_t>(got)))
            return -1;
    }
}

} // namespace qbcore
