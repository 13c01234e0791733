#include "ZipCore.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace qbcore {
namespace {

constexpr unsigned kHostUnix = 3;

// minizip reads an archive in small pieces at two places by turns: the
// central directory and each entry's local header and data. Each place gets
// a window of its own, so that most of those pieces cost no system call.
constexpr size_t kWindowSize = size_t{64} * 1024;
constexpr int kWindows = 2;

struct Window {
    std::unique_ptr<char[]> bytes;
    ZPOS64_T start = 0;
    size_t size = 0;
    unsigned lastUse = 0;
};

struct DescriptorStream {
    int fd;
    ZPOS64_T position = 0;
    int error = 0;
    Window windows[kWindows];
    unsigned uses = 0;
};

// Reads at `offset` until `size` bytes, the end of the file or an error:
// the byte count, or -1 (errno set) when nothing could be read.
ssize_t readFully(int fd, char* buffer, size_t size, ZPOS64_T offset)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(fd, buffer + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return done > 0 ? static_cast<ssize_t>(done) : -1;
        if (got == 0)
            break;
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

// The window holding the byte at the stream's position, filled from there
// when none does; null when it cannot be read (the error is kept).
Window* windowAtPosition(DescriptorStream& s)
{
    Window* oldest = &s.windows[0];
    for (Window& window : s.windows) {
        if (window.bytes && s.position >= window.start && s.position < window.start + window.size) {
            window.lastUse = ++s.uses;
            return &window;
        }
        if (window.lastUse < oldest->lastUse)
            oldest = &window;
    }
    if (!oldest->bytes)
        oldest->bytes.reset(new (std::nothrow) char[kWindowSize]);
    if (!oldest->bytes) {
        s.error = ENOMEM;
        return nullptr;
    }
    const ssize_t got = readFully(s.fd, oldest->bytes.get(), kWindowSize, s.position);
    if (got < 0)
        s.error = errno;
    oldest->start = s.position;
    oldest->size = got > 0 ? static_cast<size_t>(got) : 0;
    oldest->lastUse = ++s.uses;
    return oldest->size > 0 ? oldest : nullptr;
}

voidpf openStream(voidpf, const void* descriptor, int mode)
{
    if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ || !descriptor)
        return nullptr;
    return new (std::nothrow) DescriptorStream{*static_cast<const int*>(descriptor)};
}

uLong readStream(voidpf, voidpf stream, void* buffer, uLong size)
{
    auto* s = static_cast<DescriptorStream*>(stream);
    auto* out = static_cast<char*>(buffer);
    uLong done = 0;
    // A read as large as a window goes straight into the caller's buffer.
    if (size >= kWindowSize) {
        const ssize_t got = readFully(s->fd, out, size, s->position);
        if (got < 0) {
            s->error = errno;
            return 0;
        }
        s->position += static_cast<ZPOS64_T>(got);
        return static_cast<uLong>(got);
    }
    while (done < size) {
        const Window* window = windowAtPosition(*s);
        if (!window)
            break;
        const size_t at = static_cast<size_t>(s->position - window->start);
        const size_t take = std::min<size_t>(window->size - at, size - done);
        std::memcpy(out + done, window->bytes.get() + at, take);
        done += static_cast<uLong>(take);
        s->position += take;
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
