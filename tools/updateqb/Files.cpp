#include "Files.h"

#include "SignatureCore.h"
#include "ZipCore.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/fsuid.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace updateqb {
namespace {

Caller gCaller;

using Clock = std::chrono::steady_clock;
// The whole of a pipe's content must arrive in this time: a caller that
// trickles its payload must not keep the tool, and its lock, for good.
constexpr std::chrono::seconds kPipeTime{30};
constexpr int kMaxTreeDepth = 64;

bool isFolderSafe(const struct stat& info, bool last)
{
    if (info.st_uid != 0)
        return false;
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) == 0)
        return true;
    return !last && (info.st_mode & S_ISVTX);
}

// Switches the file-system identity to the caller's for as long as it lives.
class AsCaller {
public:
    AsCaller()
    {
        ::setfsgid(gCaller.gid);
        ::setfsuid(gCaller.uid);
    }
    ~AsCaller()
    {
        ::setfsuid(0);
        ::setfsgid(0);
    }
    AsCaller(const AsCaller&) = delete;
    AsCaller& operator=(const AsCaller&) = delete;
};

// When reading `fd` must be done: for a pipe, kPipeTime from now.
Clock::time_point readDeadline(int fd)
{
    struct stat info {};
    if (::fstat(fd, &info) == 0 && !S_ISFIFO(info.st_mode))
        return Clock::time_point::max();
    return Clock::now() + kPipeTime;
}

// Waits until a pipe has data or its writer is gone, no later than `deadline`.
void waitReadable(int fd, const std::string& what, Clock::time_point deadline)
{
    pollfd entry{fd, POLLIN, 0};
    int ready = 0;
    do {
        const Clock::time_point now = Clock::now();
        if (now >= deadline)
            refuse(what + ": it did not arrive in time");
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        ready = ::poll(&entry, 1,
                       deadline == Clock::time_point::max() ? -1 : static_cast<int>(std::min<long long>(left, 60000)));
    } while (ready == 0 || (ready < 0 && errno == EINTR));
    if (ready < 0)
        refuseErrno(what);
}

// One read; 0 at the end. A pipe is waited on until a writer has written or
// gone: a pipe no one has opened yet is not at its end.
size_t readSome(int fd, char* buffer, size_t size, const std::string& what, Clock::time_point deadline)
{
    waitReadable(fd, what, deadline);
    for (;;) {
        const ssize_t got = ::read(fd, buffer, size);
        if (got >= 0)
            return static_cast<size_t>(got);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN) {
            waitReadable(fd, what, deadline);
            continue;
        }
        refuseErrno(what);
    }
}

void removeTreeAt(int folder, const std::string& name, int depth)
{
    struct stat info {};
    if (::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return;
        refuseErrno("cannot examine " + name);
    }
    if (S_ISDIR(info.st_mode)) {
        if (depth > kMaxTreeDepth)
            refuse("folder tree too deep to remove: " + name);
        Fd child(::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!child)
            refuseErrno("cannot open " + name);
        DIR* listing = ::fdopendir(::dup(child.get()));
        if (!listing)
            refuseErrno("cannot list " + name);
        std::vector<std::string> names;
        while (const dirent* entry = ::readdir(listing)) {
            const std::string entryName = entry->d_name;
            if (entryName != "." && entryName != "..")
                names.push_back(entryName);
        }
        ::closedir(listing);
        for (const std::string& entryName : names)
            removeTreeAt(child.get(), entryName, depth + 1);
        if (::unlinkat(folder, name.c_str(), AT_REMOVEDIR) != 0)
            refuseErrno("cannot remove " + name);
        return;
    }
    if (::unlinkat(folder, name.c_str(), 0) != 0)
        refuseErrno("cannot remove " + name);
}

} // namespace

void refuse(const std::string& reason)
{
    throw Refusal(reason);
}

void refuseErrno(const std::string& what)
{
    throw Refusal(what + ": " + std::strerror(errno));
}

Fd& Fd::operator=(Fd&& other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = other.release();
    }
    return *this;
}

Fd::~Fd()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

int Fd::release()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

const Caller& caller()
{
    return gCaller;
}

void setCaller(Caller who)
{
    gCaller = who;
}

Fd openFolderChain(const std::vector<std::string>& components, bool rootOnly, size_t* opened)
{
    Fd folder(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder)
        refuseErrno("cannot open /");
    std::string shown;
    for (size_t i = 0; i <= components.size(); ++i) {
        struct stat info {};
        if (::fstat(folder.get(), &info) != 0)
            refuseErrno("cannot examine " + (shown.empty() ? std::string("/") : shown));
        if (rootOnly && !isFolderSafe(info, i == components.size()))
            refuse((shown.empty() ? std::string("/") : shown) + " may be changed by others than root");
        if (opened)
            *opened = i;
        if (i == components.size())
            break;
        shown += "/" + components[i];
        Fd next(::openat(folder.get(), components[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next && errno == ENOENT && opened)
            break;
        if (!next) {
            if (errno == ELOOP || errno == ENOTDIR)
                refuse(shown + " is not a folder (a link is never followed)");
            refuseErrno("cannot open " + shown);
        }
        folder = std::move(next);
    }
    return folder;
}

Fd createFolders(Fd folder, const std::vector<std::string>& components, size_t opened)
{
    for (size_t i = opened; i < components.size(); ++i) {
        const char* name = components[i].c_str();
        if (::mkdirat(folder.get(), name, 0755) != 0 && errno != EEXIST)
            refuseErrno("cannot create " + components[i]);
        Fd next(::openat(folder.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next)
            refuseErrno("cannot open " + components[i]);
        struct stat info {};
        if (::fstat(next.get(), &info) != 0 || !isFolderSafe(info, true))
            refuse(components[i] + " may be changed by others than root");
        folder = std::move(next);
    }
    return folder;
}

Fd openCallerSource(const std::string& path)
{
    Fd source;
    {
        AsCaller asCaller;
        source = Fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    }
    if (!source) {
        if (errno == ELOOP)
            refuse(path + " is a link");
        refuseErrno("cannot open " + path);
    }
    struct stat info {};
    if (::fstat(source.get(), &info) != 0)
        refuseErrno("cannot examine " + path);
    if (S_ISREG(info.st_mode)) {
        const int flags = ::fcntl(source.get(), F_GETFL);
        if (flags < 0 || ::fcntl(source.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
            refuseErrno("cannot read " + path);
    } else if (!S_ISFIFO(info.st_mode)) {
        refuse(path + " is neither a regular file nor a pipe");
    }
    return source;
}

std::string readAll(int fd, size_t limit, const std::string& what)
{
    std::string content;
    char buffer[4096];
    const Clock::time_point deadline = readDeadline(fd);
    for (;;) {
        const size_t got = readSome(fd, buffer, sizeof buffer, what, deadline);
        if (got == 0)
            return content;
        if (content.size() + got > limit)
            refuse(what + " is too large");
        content.append(buffer, got);
    }
}

Fd copyIntoUnnamedFile(int source, int folder, uint64_t limit, const std::string& what)
{
    Fd copy(::openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (!copy)
        refuseErrno("cannot create an unnamed file for " + what);
    static char buffer[1 << 16];
    uint64_t total = 0;
    const Clock::time_point deadline = readDeadline(source);
    for (;;) {
        const size_t got = readSome(source, buffer, sizeof buffer, what, deadline);
        if (got == 0)
            break;
        total += got;
        if (total > limit)
            refuse(what + " is too large");
        if (!qbcore::writeAll(copy.get(), buffer, got))
            refuseErrno("cannot write the copy of " + what);
    }
    if (::fsync(copy.get()) != 0)
        refuseErrno("cannot write the copy of " + what);
    return copy;
}

std::string sha256Of(int fd)
{
    qbcore::Sha256 digest;
    static char buffer[1 << 16];
    off_t offset = 0;
    for (;;) {
        const ssize_t got = ::pread(fd, buffer, sizeof buffer, offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            refuseErrno("cannot read back the copy");
        if (got == 0)
            break;
        if (!digest.update(buffer, static_cast<size_t>(got)))
            refuse("cannot compute a digest");
        offset += got;
    }
    qbcore::Sha256Digest value{};
    if (!digest.final(&value))
        refuse("cannot compute a digest");
    return qbcore::toHex(value.data(), value.size());
}

bool existsAs(int folder, const std::string& name, mode_t kind)
{
    struct stat info {};
    if (::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return false;
        refuseErrno("cannot examine " + name);
    }
    if (S_ISLNK(info.st_mode))
        refuse(name + " is a link; it is left alone");
    if ((info.st_mode & S_IFMT) != kind)
        refuse(name + " is not what it should be; it is left alone");
    return true;
}

std::string temporaryName()
{
    unsigned char random[8];
    if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
        refuseErrno("cannot make a temporary name");
    return ".updateqb-" + qbcore::toHex(random, sizeof random);
}

Placement::~Placement()
{
    if (m_committed)
        return;
    for (auto step = m_steps.rbegin(); step != m_steps.rend(); ++step) {
        const int folder = step->folder.get();
        const char* name = step->name.c_str();
        if (!step->previous.empty()) {
            // The previous entry back at its name; the new one, now at the
            // temporary, goes (a folder's is the caller's to remove).
            if (::renameat2(folder, step->previous.c_str(), folder, name, RENAME_EXCHANGE) == 0 && !step->isFolder)
                ::unlinkat(folder, step->previous.c_str(), 0);
        } else if (step->isFolder) {
            ::renameat2(folder, name, folder, step->temporary.c_str(), RENAME_NOREPLACE);
        } else {
            ::unlinkat(folder, name, 0);
        }
    }
}

void Placement::placeFile(int file, int folder, const std::string& name)
{
    Step step;
    step.folder = Fd(::dup(folder));
    step.name = name;
    if (!step.folder)
        refuseErrno("cannot place " + name);
    if (!existsAs(folder, name, S_IFREG)) {
        if (::linkat(file, "", folder, name.c_str(), AT_EMPTY_PATH) != 0)
            refuseErrno("cannot link " + name + " into place");
        m_steps.push_back(std::move(step));
        return;
    }
    // Replaced in one exchange: the previous file stays, at this run's own
    // temporary name, until the whole change is committed.
    step.previous = temporaryName();
    if (::linkat(file, "", folder, step.previous.c_str(), AT_EMPTY_PATH) != 0)
        refuseErrno("cannot link " + name + " into place");
    if (::renameat2(folder, step.previous.c_str(), folder, name.c_str(), RENAME_EXCHANGE) != 0) {
        const int saved = errno;
        ::unlinkat(folder, step.previous.c_str(), 0);
        errno = saved;
        refuseErrno("cannot rename " + name + " into place");
    }
    m_steps.push_back(std::move(step));
}

void Placement::placeFolder(int folder, const std::string& temporary, const std::string& name)
{
    Step step;
    step.folder = Fd(::dup(folder));
    step.name = name;
    step.temporary = temporary;
    step.isFolder = true;
    if (!step.folder)
        refuseErrno("cannot place " + name);
    const bool present = existsAs(folder, name, S_IFDIR);
    if (::renameat2(folder, temporary.c_str(), folder, name.c_str(), present ? RENAME_EXCHANGE : RENAME_NOREPLACE) != 0)
        refuseErrno("cannot rename " + name + " into place");
    if (present)
        step.previous = temporary;
    m_steps.push_back(std::move(step));
}

void Placement::commit()
{
    for (const Step& step : m_steps) {
        if (::fsync(step.folder.get()) != 0)
            refuseErrno("cannot write the folder of " + step.name);
    }
    m_committed = true;
    for (const Step& step : m_steps) {
        if (step.previous.empty())
            continue;
        try {
            removeTree(step.folder.get(), step.previous);
        } catch (const Refusal&) {
        }
    }
}

void removeTree(int folder, const std::string& name)
{
    removeTreeAt(folder, name, 0);
}

} // namespace updateqb
