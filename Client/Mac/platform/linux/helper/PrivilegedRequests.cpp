#include "PrivilegedRequests.h"

#include "PathRules.h"

#include <plist/plist.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <pwd.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace privileged {
namespace {

// An owned descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    Fd(Fd&& other) noexcept : m_fd(other.release()) {}
    Fd& operator=(Fd&& other) noexcept
    {
        if (this != &other) {
            reset();
            m_fd = other.release();
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
};

struct ListingClose {
    void operator()(DIR* listing) const { ::closedir(listing); }
};
using Listing = std::unique_ptr<DIR, ListingClose>;

Listing listingOf(int folderFd)
{
    const int copy = ::fcntl(folderFd, F_DUPFD_CLOEXEC, 0);
    DIR* listing = copy < 0 ? nullptr : ::fdopendir(copy);
    if (!listing && copy >= 0)
        ::close(copy);
    return Listing(listing);
}

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Folders only walked through: search permission is all it takes.
constexpr int kPassFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int kFileFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
constexpr off_t kMaxInfoPlistSize = 1 << 20;
constexpr size_t kShownRequestWord = 32;

std::string errorText(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

Result failure(const std::string& reason)
{
    Result result;
    result.reason = reason;
    return result;
}

Result success()
{
    Result result;
    result.ok = true;
    return result;
}

// "/a/b/c" -> {"a", "b", "c"}, "/" -> {}; false for a path the rules refuse.
bool splitAbsolute(const std::string& path, std::vector<std::string>* components)
{
    components->clear();
    if (path == "/")
        return true;
    if (!qbcore::isCleanAbsolutePath(path))
        return false;
    size_t start = 1;
    for (size_t end = path.find('/', start);; end = path.find('/', start)) {
        components->push_back(path.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return true;
        start = end + 1;
    }
}

void splitLast(const std::string& path, std::string* parent, std::string* name)
{
    const size_t slash = path.rfind('/');
    *parent = slash == 0 ? std::string("/") : path.substr(0, slash);
    *name = path.substr(slash + 1);
}

// Owned by root and writable by no one else. A folder with the sticky bit
// (/tmp) also qualifies: there nobody but root can rename or remove what root
// owns, so the root-owned entries walked through it cannot be swapped.
bool isRootOnly(const struct stat& status)
{
    if (status.st_uid != 0)
        return false;
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) == 0)
        return true;
    return S_ISDIR(status.st_mode) && (status.st_mode & S_ISVTX) != 0;
}

// Opens `folder` component by component, each a real folder (no link) and,
// with `rootOnly`, owned by root and writable by no one else. The folders on
// the way are only passed through; `folder` itself is opened for reading.
Fd openFolderChain(const std::string& folder, bool rootOnly, std::string* why)
{
    std::vector<std::string> components;
    if (!splitAbsolute(folder, &components)) {
        *why = "\"" + qbcore::shownPlain(folder) + "\" is not a plain absolute path";
        return Fd();
    }
    Fd current(::open("/", components.empty() ? kFolderFlags : kPassFlags));
    std::string walked;
    for (size_t i = 0;; ++i) {
        struct stat status {};
        if (!current.valid() || ::fstat(current.get(), &status) != 0) {
            *why = errorText("cannot open \"" + (walked.empty() ? std::string("/") : walked) + "\"");
            return Fd();
        }
        if (rootOnly && !isRootOnly(status)) {
            *why = "\"" + (walked.empty() ? std::string("/") : walked) + "\" is writable by others than root";
            return Fd();
        }
        if (i == components.size())
            return current;
        walked += "/" + components[i];
        current = Fd(::openat(current.get(), components[i].c_str(), i + 1 == components.size() ? kFolderFlags : kPassFlags));
        if (!current.valid() && (errno == ELOOP || errno == ENOTDIR)) {
            *why = "\"" + walked + "\" is not a real folder";
            return Fd();
        }
    }
}

Fd openRootOnlyFolder(const std::string& folder, std::string* why)
{
    return openFolderChain(folder, true, why);
}

// The identifier in Contents/Info.plist of the opened bundle folder.
std::string identifierOf(int bundleFd)
{
    Fd contents(::openat(bundleFd, "Contents", kPassFlags));
    if (!contents.valid())
        return {};
    Fd file(::openat(contents.get(), "Info.plist", kFileFlags));
    struct stat status {};
    if (!file.valid() || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size > kMaxInfoPlistSize)
        return {};
    std::string bytes(static_cast<size_t>(status.st_size), '\0');
    size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(file.get(), bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    bytes.resize(got);
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    std::string identifier;
    if (root && plist_get_node_type(root) == PLIST_DICT) {
        plist_t node = plist_dict_get_item(root, "CFBundleIdentifier");
        if (node && plist_get_node_type(node) == PLIST_STRING) {
            char* value = nullptr;
            plist_get_string_val(node, &value);
            if (value)
                identifier = value;
            std::free(value);
        }
    }
    if (root)
        plist_free(root);
    return identifier;
}

std::string readLink(const char* path)
{
    std::string target(PATH_MAX, '\0');
    const ssize_t length = ::readlink(path, target.data(), target.size());
    if (length <= 0 || static_cast<size_t>(length) >= target.size())
        return {};
    target.resize(static_cast<size_t>(length));
    return target;
}

// The program this process runs: its file and where it lies.
struct RunningProgram {
    std::string path;
    struct stat file {};
};

bool runningProgram(RunningProgram* program)
{
    program->path = readLink("/proc/self/exe");
    return !program->path.empty() && ::stat("/proc/self/exe", &program->file) == 0;
}

// The bundle folder a program path lies in ("X.app/Contents/MacOS/exe"), or "".
std::string bundleOf(const std::string& executable)
{
    std::string path = executable;
    for (const char* expected : {"/MacOS", "/Contents"}) {
        const size_t slash = path.rfind('/');
        if (slash == std::string::npos || slash == 0)
            return {};
        path.resize(slash);
        if (path.size() < std::strlen(expected)
            || path.compare(path.size() - std::strlen(expected), std::string::npos, expected) != 0)
            return {};
    }
    path.resize(path.rfind('/'));
    return qbcore::isBundlePath(path) ? path : std::string();
}

// The opened bundle folder holds the running program at Contents/MacOS.
bool holdsRunningProgram(int bundleFd, const RunningProgram& program)
{
    Fd contents(::openat(bundleFd, "Contents", kPassFlags));
    Fd folder(contents.valid() ? ::openat(contents.get(), "MacOS", kPassFlags) : -1);
    struct stat status {};
    const std::string name = program.path.substr(program.path.rfind('/') + 1);
    return folder.valid() && ::fstatat(folder.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0
           && S_ISREG(status.st_mode) && status.st_dev == program.file.st_dev && status.st_ino == program.file.st_ino;
}

// The bundle the running program lies in, reached without a link.
Fd openOwnBundle(std::string* path, std::string* why)
{
    RunningProgram program;
    if (!runningProgram(&program)) {
        *why = errorText("cannot tell the running program");
        return Fd();
    }
    *path = bundleOf(program.path);
    if (path->empty()) {
        *why = "the running program lies in no bundle";
        return Fd();
    }
    Fd bundle = openFolderChain(*path, false, why);
    if (bundle.valid() && !holdsRunningProgram(bundle.get(), program)) {
        *why = "\"" + *path + "\" no longer holds the running program";
        return Fd();
    }
    return bundle;
}

// File-system rights of one user for reads, root's for writes. The helper is
// single-threaded; in a launcher that runs as root the user is root unless
// a source is read with its owner's rights.
class Rights {
public:
    Rights() = default;
    Rights(const Rights&) = delete;
    Rights& operator=(const Rights&) = delete;
    ~Rights() { asRoot(); }

    // The user's groups from its account: a user without one is refused.
    bool prepare(uid_t user, std::string* why)
    {
        m_user = user;
        if (m_user == 0)
            return true;
        std::vector<char> buffer(16384);
        passwd entry{};
        passwd* account = nullptr;
        if (::getpwuid_r(m_user, &entry, buffer.data(), buffer.size(), &account) != 0 || !account) {
            *why = "user " + std::to_string(m_user) + " has no account";
            return false;
        }
        m_group = account->pw_gid;
        int count = 64;
        m_groups.resize(static_cast<size_t>(count));
        if (::getgrouplist(account->pw_name, m_group, m_groups.data(), &count) < 0) {
            m_groups.resize(static_cast<size_t>(count));
            if (::getgrouplist(account->pw_name, m_group, m_groups.data(), &count) < 0)
                count = 0;
        }
        m_groups.resize(static_cast<size_t>(std::max(count, 0)));
        const int saved = ::getgroups(0, nullptr);
        m_savedGroups.resize(static_cast<size_t>(std::max(saved, 0)));
        if (saved > 0 && ::getgroups(saved, m_savedGroups.data()) != saved)
            m_savedGroups.clear();
        return true;
    }

    bool asUser()
    {
        if (m_user == 0)
            return true;
        m_switched = true;
        if (::setgroups(m_groups.size(), m_groups.data()) != 0)
            return fail();
        // Each call reports the previous value only: asking again shows whether it took.
        (void)::setfsgid(m_group);
        if (static_cast<gid_t>(::setfsgid(static_cast<gid_t>(-1))) != m_group)
            return fail();
        (void)::setfsuid(m_user);
        if (static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1))) != m_user)
            return fail();
        return true;
    }
    void asRoot()
    {
        if (!m_switched)
            return;
        (void)::setfsuid(0);
        (void)::setfsgid(0);
        (void)::setgroups(m_savedGroups.size(), m_savedGroups.data());
        m_switched = false;
    }

private:
    bool fail()
    {
        asRoot();
        return false;
    }

    uid_t m_user = 0;
    gid_t m_group = 0;
    bool m_switched = false;
    std::vector<gid_t> m_groups;
    std::vector<gid_t> m_savedGroups;
};

// What removal needs of one entry: its type, volume and mount.
struct Entry {
    mode_t mode = 0;
    dev_t device = 0;
    uint64_t mount = 0;
};

bool look(int folderFd, const char* name, Entry* entry)
{
    struct statx status {};
    const int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | (*name ? 0 : AT_EMPTY_PATH);
    if (::statx(folderFd, name, flags, STATX_TYPE | STATX_MNT_ID, &status) != 0)
        return false;
    if ((status.stx_mask & STATX_MNT_ID) == 0) {
        errno = ENOSYS; // a mount point inside could not be told
        return false;
    }
    entry->mode = status.stx_mode;
    entry->device = makedev(status.stx_dev_major, status.stx_dev_minor);
    entry->mount = status.stx_mnt_id;
    return true;
}

// Removes `name` in the opened folder and everything below it: never
// following a link, never entering a mount point (one inside is refused, its
// contents untouched), at most kMaxTreeDepth folders deep, one folder open
// per level. Without `removing` it only walks the tree for those refusals.
bool removeTree(int parentFd, const std::string& name, std::string* why, bool removing = true)
{
    Entry top;
    Entry parent;
    if (!look(parentFd, name.c_str(), &top)) {
        if (errno == ENOENT)
            return true;
        *why = errorText("cannot look at \"" + name + "\"");
        return false;
    }
    if (!S_ISDIR(top.mode)) {
        if (!removing || ::unlinkat(parentFd, name.c_str(), 0) == 0 || errno == ENOENT)
            return true;
        *why = errorText("cannot remove \"" + name + "\"");
        return false;
    }
    if (!look(parentFd, "", &parent) || parent.mount != top.mount) {
        *why = "\"" + name + "\" is a mount point: not removed";
        return false;
    }
    struct Level {
        Fd folder;
        Listing listing;
        std::string name;
    };
    std::vector<Level> levels;
    const auto enter = [&](int folderFd, const std::string& child) {
        Fd folder(::openat(folderFd, child.c_str(), kFolderFlags));
        Entry opened;
        if (!folder.valid() || !look(folder.get(), "", &opened)) {
            *why = errorText("cannot open \"" + child + "\"");
            return false;
        }
        if (opened.mount != top.mount || opened.device != top.device) {
            *why = "\"" + child + "\" is a mount point: not removed";
            return false;
        }
        Listing listing = listingOf(folder.get());
        if (!listing) {
            *why = errorText("cannot list \"" + child + "\"");
            return false;
        }
        levels.push_back({std::move(folder), std::move(listing), child});
        return true;
    };
    if (!enter(parentFd, name))
        return false;
    while (!levels.empty()) {
        const size_t at = levels.size() - 1;
        errno = 0;
        const dirent* found = ::readdir(levels[at].listing.get());
        if (!found) {
            if (errno != 0) {
                *why = errorText("cannot list \"" + levels[at].name + "\"");
                return false;
            }
            const std::string done = levels[at].name;
            levels.pop_back();
            if (!removing)
                continue;
            const int folderFd = levels.empty() ? parentFd : levels.back().folder.get();
            if (::unlinkat(folderFd, done.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
                *why = errorText("cannot remove \"" + done + "\"");
                return false;
            }
            // Read again from the start: what was listed before is gone.
            if (!levels.empty())
                ::rewinddir(levels.back().listing.get());
            continue;
        }
        const std::string child = found->d_name;
        if (child == "." || child == "..")
            continue;
        const int folderFd = levels[at].folder.get();
        Entry entry;
        if (!look(folderFd, child.c_str(), &entry)) {
            if (errno == ENOENT)
                continue;
            *why = errorText("cannot look at \"" + child + "\"");
            return false;
        }
        if (!S_ISDIR(entry.mode)) {
            if (removing && ::unlinkat(folderFd, child.c_str(), 0) != 0 && errno != ENOENT) {
                *why = errorText("cannot remove \"" + child + "\"");
                return false;
            }
        } else if (entry.mount != top.mount || entry.device != top.device) {
            *why = "\"" + child + "\" is a mount point: not removed";
            return false;
        } else if (levels.size() >= static_cast<size_t>(kMaxTreeDepth)) {
            *why = "\"" + name + "\" is more than " + std::to_string(kMaxTreeDepth) + " folders deep";
            return false;
        } else if (!enter(folderFd, child)) {
            return false;
        }
    }
    return true;
}

// A fresh hidden name beside `name` in the opened folder.
std::string scratchName(int folderFd, const std::string& name, const char* purpose)
{
    for (int attempt = 0;; ++attempt) {
        std::string candidate = "." + name + "." + purpose + "-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
        struct stat status {};
        if (::fstatat(folderFd, candidate.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT)
            return candidate;
    }
}

// Renames the bundle `name` out of sight, then removes it.
Result removeHidden(int folderFd, const std::string& path, const std::string& name)
{
    // Walked first: a mount point inside or a tree too deep refuses the
    // removal before anything is taken away.
    std::string why;
    if (!removeTree(folderFd, name, &why, false))
        return failure("not removing \"" + path + "\": " + why);
    // Out of sight first, so that an interrupted removal never leaves a
    // half bundle under the bundle's name.
    const std::string hidden = scratchName(folderFd, name, "removing");
    if (::renameat(folderFd, name.c_str(), folderFd, hidden.c_str()) != 0)
        return failure(errorText("cannot remove \"" + path + "\""));
    if (!removeTree(folderFd, hidden, &why))
        return failure("cannot remove \"" + path + "\": " + why);
    return success();
}

// Removes the bundle `path` through folders only root can write, when it is
// still the recorded folder and carries the recorded identifier.
Result removeRecorded(const std::string& path, const Identity& expected)
{
    if (!qbcore::isBundlePath(path))
        return failure("\"" + qbcore::shownPlain(path) + "\" is not the full path of an application bundle");
    std::string parent, name, why;
    splitLast(path, &parent, &name);
    Fd folder = openRootOnlyFolder(parent, &why);
    if (!folder.valid())
        return failure("not removing \"" + path + "\": " + why);
    struct stat status {};
    if (::fstatat(folder.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? success() : failure(errorText("cannot look at \"" + path + "\""));
    if (!S_ISDIR(status.st_mode))
        return failure("not removing \"" + path + "\": not a real folder");
    if (expected.device == 0 || expected.inode == 0 || status.st_dev != expected.device || status.st_ino != expected.inode)
        return failure("not removing \"" + path + "\": it is not the bundle that was found there");
    Fd bundle(::openat(folder.get(), name.c_str(), kFolderFlags));
    const std::string identifier = bundle.valid() ? identifierOf(bundle.get()) : std::string();
    if (expected.identifier.empty() || identifier != expected.identifier)
        return failure("not removing \"" + path + "\": it is not a bundle of " + expected.identifier);
    return removeHidden(folder.get(), path, name);
}

bool copyBytes(int from, int to, uint64_t* copied, std::string* why)
{
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t got = ::read(from, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            *why = errorText("cannot read");
            return false;
        }
        if (got == 0)
            return true;
        ssize_t written = 0;
        while (written < got) {
            const ssize_t n = ::write(to, buffer.data() + written, static_cast<size_t>(got - written));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                *why = errorText("cannot write");
                return false;
            }
            written += n;
        }
        *copied += static_cast<uint64_t>(got);
    }
}

// Counts what an install copies, and tells after each file.
class CopyTracker {
public:
    CopyTracker(ProgressReport report, void* context) : m_report(report), m_context(context) {}
    CopyProgress& counts() { return m_counts; }
    void fileCopied(uint64_t bytes)
    {
        m_counts.files += 1;
        m_counts.bytes += bytes;
        m_counts.totalFiles = std::max(m_counts.totalFiles, m_counts.files);
        m_counts.totalBytes = std::max(m_counts.totalBytes, m_counts.bytes);
        if (m_report)
            m_report(m_counts, m_context);
    }

private:
    CopyProgress m_counts;
    ProgressReport m_report;
    void* m_context;
};

// Adds the regular files below the opened folder and their sizes to the
// totals; the caller has taken the reader's rights. A part that cannot be
// looked at is left to the copy to report. The folder is listed through a
// descriptor of its own: a duplicate would share its reading position with
// the copy's listing, which would then find the folder empty.
void countTree(int folderFd, int depth, CopyProgress* totals)
{
    const Fd own(::openat(folderFd, ".", kFolderFlags));
    Listing listing = own.valid() ? listingOf(own.get()) : Listing();
    while (const dirent* found = listing ? ::readdir(listing.get()) : nullptr) {
        const std::string_view name = found->d_name;
        struct stat status {};
        if (name == "." || name == ".." || ::fstatat(folderFd, found->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISREG(status.st_mode)) {
            totals->totalFiles += 1;
            totals->totalBytes += static_cast<uint64_t>(status.st_size);
        } else if (S_ISDIR(status.st_mode) && depth < kMaxTreeDepth) {
            const Fd child(::openat(folderFd, found->d_name, kFolderFlags));
            if (child.valid())
                countTree(child.get(), depth + 1, totals);
        }
    }
}

// Copies the regular file `name` of the opened source folder.
bool copyFile(int sourceFd, int destinationFd, const std::string& name, const std::string& path, Rights& rights,
              CopyTracker& tracker, std::string* why)
{
    const bool reading = rights.asUser();
    Fd file(reading ? ::openat(sourceFd, name.c_str(), kFileFlags) : -1);
    rights.asRoot();
    struct stat opened {};
    if (!file.valid() || ::fstat(file.get(), &opened) != 0) {
        *why = errorText("cannot read \"" + path + "\"");
        return false;
    }
    if (!S_ISREG(opened.st_mode)) {
        *why = "\"" + path + "\" changed into something other than a file";
        return false;
    }
    Fd copy(::openat(destinationFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!copy.valid() || ::fchown(copy.get(), 0, 0) != 0) {
        *why = errorText("cannot make the copy of \"" + path + "\"");
        return false;
    }
    uint64_t copied = 0;
    if (!copyBytes(file.get(), copy.get(), &copied, why)) {
        *why = "\"" + path + "\": " + *why;
        return false;
    }
    // u=rwX,go=rX: executable stays executable, set-ID bits never survive.
    if (::fchmod(copy.get(), (opened.st_mode & 0111) ? 0755 : 0644) != 0) {
        *why = errorText("cannot set the mode of \"" + path + "\"");
        return false;
    }
    tracker.fileCopied(copied);
    return true;
}

// Copies the contents of the opened source folder into the opened (new,
// root-owned) destination folder, one folder open per level, reading with
// the user's rights. Links, devices, pipes and sockets stop the copy.
bool copyTree(int sourceFd, int destinationFd, Rights& rights, const std::string& where, CopyTracker& tracker,
              std::string* why)
{
    struct Level {
        Fd source;
        Fd destination;
        Listing listing;
        std::string path;
    };
    std::vector<Level> levels;
    const auto enter = [&](Fd source, Fd destination, const std::string& path) {
        const bool reading = rights.asUser();
        Listing listing = reading ? listingOf(source.get()) : Listing();
        rights.asRoot();
        if (!listing) {
            *why = errorText("cannot list \"" + path + "\"");
            return false;
        }
        levels.push_back({std::move(source), std::move(destination), std::move(listing), path});
        return true;
    };
    if (!enter(Fd(::fcntl(sourceFd, F_DUPFD_CLOEXEC, 0)), Fd(::fcntl(destinationFd, F_DUPFD_CLOEXEC, 0)), where))
        return false;
    while (!levels.empty()) {
        const size_t at = levels.size() - 1;
        const bool reading = rights.asUser();
        errno = 0;
        const dirent* found = reading ? ::readdir(levels[at].listing.get()) : nullptr;
        const int error = reading ? errno : EPERM;
        rights.asRoot();
        if (!found) {
            if (error != 0) {
                errno = error;
                *why = errorText("cannot list \"" + levels[at].path + "\"");
                return false;
            }
            if (::fchmod(levels[at].destination.get(), 0755) != 0) {
                *why = errorText("cannot set the mode of \"" + levels[at].path + "\"");
                return false;
            }
            levels.pop_back();
            continue;
        }
        const std::string name = found->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string path = levels[at].path + "/" + name;
        const int source = levels[at].source.get();
        const int destination = levels[at].destination.get();
        struct stat status {};
        const bool looked = rights.asUser() && ::fstatat(source, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
        rights.asRoot();
        if (!looked) {
            *why = errorText("cannot look at \"" + path + "\"");
            return false;
        }
        if (S_ISREG(status.st_mode)) {
            if (!copyFile(source, destination, name, path, rights, tracker, why))
                return false;
        } else if (S_ISDIR(status.st_mode)) {
            if (levels.size() >= static_cast<size_t>(kMaxTreeDepth)) {
                *why = "\"" + where + "\" is more than " + std::to_string(kMaxTreeDepth) + " folders deep";
                return false;
            }
            const bool opening = rights.asUser();
            Fd child(opening ? ::openat(source, name.c_str(), kFolderFlags) : -1);
            rights.asRoot();
            if (!child.valid()) {
                *why = errorText("cannot open \"" + path + "\"");
                return false;
            }
            if (::mkdirat(destination, name.c_str(), 0700) != 0) {
                *why = errorText("cannot make \"" + path + "\"");
                return false;
            }
            Fd made(::openat(destination, name.c_str(), kFolderFlags));
            if (!made.valid() || ::fchown(made.get(), 0, 0) != 0) {
                *why = errorText("cannot open the copy of \"" + path + "\"");
                return false;
            }
            if (!enter(std::move(child), std::move(made), path))
                return false;
        } else if (S_ISLNK(status.st_mode)) {
            *why = "\"" + path + "\" is a link; links are refused";
            return false;
        } else {
            *why = "\"" + path + "\" is a device, pipe or socket: not installed";
            return false;
        }
    }
    return true;
}

// Opens the source bundle with `reader`'s rights, reached without a link; it
// must be the running bundle.
Fd openSource(const std::string& source, const Action& action, Rights& rights, std::string* why)
{
    const bool reading = rights.asUser();
    Fd folder = reading ? openFolderChain(source, false, why) : Fd();
    rights.asRoot();
    if (!reading)
        *why = "cannot take the rights of the source's reader";
    if (!folder.valid())
        return Fd();
    struct stat status {};
    RunningProgram program;
    if (::fstat(folder.get(), &status) != 0 || action.sourceDevice == 0 || action.sourceInode == 0
        || status.st_dev != action.sourceDevice || status.st_ino != action.sourceInode || !runningProgram(&program)
        || !holdsRunningProgram(folder.get(), program)) {
        *why = "\"" + source + "\" is not the running bundle";
        return Fd();
    }
    return folder;
}

// Who reads the source: the asking user; for a launcher that runs as root,
// the owner of the source folder.
bool sourceReader(const std::string& source, uid_t user, Place place, uid_t* reader, std::string* why)
{
    *reader = user;
    if (place == Place::Helper)
        return true;
    Fd folder = openFolderChain(source, false, why);
    struct stat status {};
    if (!folder.valid() || ::fstat(folder.get(), &status) != 0)
        return false;
    *reader = status.st_uid;
    return true;
}

Result installInto(const Action& action, const std::string& source, uid_t user, Place place, CopyTracker& tracker)
{
    if (!qbcore::isCleanAbsolutePath(source) || !qbcore::isBundleName(action.name))
        return failure("not installing \"" + qbcore::shownPlain(source) + "\": not an application bundle");
    std::string why;
    Fd destinationFolder = openRootOnlyFolder(action.folder, &why);
    if (!destinationFolder.valid())
        return failure("not installing into \"" + action.folder + "\": " + why);
    struct stat existing {};
    if (::fstatat(destinationFolder.get(), action.name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0)
        return failure("\"" + action.folder + "/" + action.name + "\" is still there");

    uid_t reader = user;
    Rights rights;
    if (!sourceReader(source, user, place, &reader, &why) || !rights.prepare(reader, &why))
        return failure("not installing \"" + source + "\": " + why);
    Fd sourceFolder = openSource(source, action, rights, &why);
    if (!sourceFolder.valid())
        return failure("not installing \"" + source + "\": " + why);

    const std::string hidden = scratchName(destinationFolder.get(), action.name, "installing");
    if (::mkdirat(destinationFolder.get(), hidden.c_str(), 0700) != 0)
        return failure(errorText("cannot make a folder in \"" + action.folder + "\""));
    Fd copy(::openat(destinationFolder.get(), hidden.c_str(), kFolderFlags));
    bool done = copy.valid() && ::fchown(copy.get(), 0, 0) == 0;
    if (!done)
        why = errorText("cannot open the new folder");
    if (done && rights.asUser())
        countTree(sourceFolder.get(), 1, &tracker.counts());
    rights.asRoot();
    done = done && copyTree(sourceFolder.get(), copy.get(), rights, source, tracker, &why);
    if (done && ::syncfs(copy.get()) != 0) {
        why = errorText("cannot finish the copy");
        done = false;
    }
    if (done
        && ::renameat2(destinationFolder.get(), hidden.c_str(), destinationFolder.get(), action.name.c_str(), RENAME_NOREPLACE)
               != 0) {
        why = errorText("cannot put the copy in place");
        done = false;
    }
    if (!done) {
        std::string ignored;
        removeTree(destinationFolder.get(), hidden, &ignored);
        return failure(why);
    }
    ::fsync(destinationFolder.get());
    return success();
}

// ---- Tool runs ----

// The bundle's own update tool, opened once: a regular file of root or of
// `user` that no one else can write, executable, without set-ID bits.
Fd openCarriedTool(uid_t user, std::string* bundlePath, std::string* why)
{
    Fd bundle = openOwnBundle(bundlePath, why);
    if (!bundle.valid())
        return Fd();
    Fd contents(::openat(bundle.get(), "Contents", kPassFlags));
    Fd resources(contents.valid() ? ::openat(contents.get(), "Resources", kPassFlags) : -1);
    const std::string tool = std::string(kCarriedUpdateTool).substr(std::strlen("Contents/Resources/"));
    Fd file(resources.valid() ? ::openat(resources.get(), tool.c_str(), kFileFlags) : -1);
    struct stat status {};
    if (!file.valid() || ::fstat(file.get(), &status) != 0) {
        *why = errorText("cannot open \"" + *bundlePath + "/" + kCarriedUpdateTool + "\"");
        return Fd();
    }
    if (!S_ISREG(status.st_mode) || (status.st_uid != 0 && status.st_uid != user)
        || (status.st_mode & (S_IWGRP | S_IWOTH | S_ISUID | S_ISGID)) != 0 || (status.st_mode & S_IXUSR) == 0) {
        *why = "\"" + *bundlePath + "/" + kCarriedUpdateTool
               + "\" is not an executable regular file of root or the asking user that only its owner can write";
        return Fd();
    }
    return file;
}

// The installed update tool, opened once: owned and only writable by root,
// in folders only root can write.
Fd openInstalledTool(std::string* why)
{
    std::string parent, name;
    splitLast(kInstalledUpdateTool, &parent, &name);
    Fd folder = openRootOnlyFolder(parent, why);
    Fd file(folder.valid() ? ::openat(folder.get(), name.c_str(), kFileFlags) : -1);
    struct stat status {};
    if (folder.valid() && (!file.valid() || ::fstat(file.get(), &status) != 0)) {
        *why = errorText(std::string("cannot open \"") + kInstalledUpdateTool + "\"");
        return Fd();
    }
    if (file.valid() && (!S_ISREG(status.st_mode) || !isRootOnly(status))) {
        *why = std::string("\"") + kInstalledUpdateTool + "\" is not a regular file owned and only writable by root";
        return Fd();
    }
    return file;
}

// Runs the opened executable with `arguments` and waits for it, at most
// `limitSeconds`. Its standard input is /dev/null, its output goes to our
// standard error.
Result runFromDescriptor(int executable, const std::string& shownPath, const std::vector<std::string>& arguments,
                         int limitSeconds, StopCheck stop, void* stopContext)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(shownPath.c_str()));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0)
        return failure(errorText("cannot start \"" + shownPath + "\""));
    if (pid == 0) {
        ::setpgid(0, 0);
        const int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0)
            ::dup2(null, STDIN_FILENO);
        ::dup2(STDERR_FILENO, STDOUT_FILENO);
        (void)::signal(SIGPIPE, SIG_DFL);
        (void)::signal(SIGXFSZ, SIG_DFL);
        // Kept open across the exec: a script's interpreter reads it as /dev/fd/N.
        const int kept = ::fcntl(executable, F_DUPFD, 10);
        ::fexecve(kept, argv.data(), environ);
        ::_exit(127);
    }
    ::setpgid(pid, pid);
    using Clock = std::chrono::steady_clock;
    const bool limited = limitSeconds > 0;
    const auto deadline = Clock::now() + std::chrono::seconds(std::min(limitSeconds, kToolTimeLimitSeconds));
    Result result;
    for (;;) {
        int status = 0;
        const pid_t got = ::waitpid(pid, &status, WNOHANG);
        if (got == pid) {
            result.waitStatus = status;
            result.ok = true;
            return result;
        }
        if (got < 0 && errno != EINTR)
            return failure(errorText("cannot wait for \"" + shownPath + "\""));
        const bool overdue = limited && Clock::now() >= deadline;
        const bool stopping = stop && stop(stopContext);
        if (overdue || stopping) {
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
            result.waitStatus = status;
            result.timedOut = overdue;
            result.stopped = stopping && !overdue;
            result.ok = true;
            return result;
        }
        ::usleep(20000);
    }
}

bool parseNumber(const std::string& text, unsigned long long* value)
{
    if (text.empty() || text.size() > 20
        || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    errno = 0;
    *value = std::strtoull(text.c_str(), nullptr, 10);
    return errno == 0 && *value != 0;
}

const RequestShape* shapeOf(const std::vector<std::string>& fields)
{
    for (const RequestShape& shape : kRequests) {
        if (fields.size() == shape.fields && fields[0] == shape.word && (shape.tool.empty() || fields[2] == shape.tool))
            return &shape;
    }
    return nullptr;
}

std::string shownWord(const std::string& word)
{
    return qbcore::shownPlain(word.substr(0, kShownRequestWord)) + (word.size() > kShownRequestWord ? "..." : "");
}

int toolLimit(const std::string& field)
{
    const long asked = std::strtol(field.c_str(), nullptr, 10);
    return asked > 0 ? static_cast<int>(std::min<long>(asked, kToolTimeLimitSeconds)) : kToolTimeLimitSeconds;
}

// ".Name.app.installing-PID-N" or ".Name.app.removing-PID-N": the process that made it.
bool scratchOwner(const std::string& entry, pid_t* pid)
{
    if (entry.size() < 2 || entry[0] != '.')
        return false;
    for (const char* purpose : {".installing-", ".removing-"}) {
        const size_t at = entry.rfind(purpose);
        if (at == std::string::npos || !qbcore::isBundleName(entry.substr(1, at - 1)))
            continue;
        const std::string rest = entry.substr(at + std::strlen(purpose));
        const size_t dash = rest.find('-');
        unsigned long long number = 0;
        unsigned long long attempt = 0;
        if (dash == std::string::npos || !parseNumber(rest.substr(0, dash), &number)
            || (rest.substr(dash + 1) != "0" && !parseNumber(rest.substr(dash + 1), &attempt)))
            return false;
        *pid = static_cast<pid_t>(number);
        return static_cast<unsigned long long>(*pid) == number;
    }
    return false;
}

} // namespace

// ---- Actions ----

namespace {

constexpr std::string_view kProgressWord = "progress";
constexpr size_t kMaxCountDigits = 18; // below 2^63: a count fits any signed 64-bit number

bool parseCount(std::string_view text, uint64_t* value)
{
    if (text.empty() || text.size() > kMaxCountDigits || (text.size() > 1 && text[0] == '0')
        || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    *value = 0;
    for (const char digit : text)
        *value = *value * 10 + static_cast<uint64_t>(digit - '0');
    return true;
}

} // namespace

std::string progressLine(const CopyProgress& progress)
{
    return std::string(kProgressWord) + "\t" + std::to_string(progress.files) + "\t" + std::to_string(progress.bytes) + "\t"
           + std::to_string(progress.totalFiles) + "\t" + std::to_string(progress.totalBytes);
}

std::optional<CopyProgress> parseProgressLine(std::string_view line)
{
    std::vector<std::string_view> fields;
    for (size_t start = 0;;) {
        const size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start));
        if (tab == std::string_view::npos)
            break;
        start = tab + 1;
    }
    CopyProgress progress;
    if (fields.size() != 5 || fields[0] != kProgressWord || !parseCount(fields[1], &progress.files)
        || !parseCount(fields[2], &progress.bytes) || !parseCount(fields[3], &progress.totalFiles)
        || !parseCount(fields[4], &progress.totalBytes) || progress.files > progress.totalFiles
        || progress.bytes > progress.totalBytes)
        return std::nullopt;
    return progress;
}

std::vector<std::string> actionArguments(const Action& action)
{
    for (const ActionShape& shape : kActions) {
        if (shape.kind != action.kind)
            continue;
        std::vector<std::string> arguments{std::string(shape.word)};
        if (action.kind != ActionKind::Move)
            return arguments;
        arguments.insert(arguments.end(), {action.folder, action.name, std::to_string(action.sourceDevice),
                                           std::to_string(action.sourceInode)});
        for (const Removal& removal : action.removals)
            arguments.insert(arguments.end(), {removal.path, std::to_string(removal.device), std::to_string(removal.inode)});
        return arguments;
    }
    return {};
}

std::optional<Action> parseAction(const std::vector<std::string>& arguments, std::string* why)
{
    const ActionShape* shape = nullptr;
    for (const ActionShape& candidate : kActions) {
        if (!arguments.empty() && arguments[0] == candidate.word)
            shape = &candidate;
    }
    if (!shape) {
        *why = "no such action \"" + shownWord(arguments.empty() ? std::string() : arguments[0]) + "\"";
        return std::nullopt;
    }
    Action action;
    action.kind = shape->kind;
    if (action.kind != ActionKind::Move) {
        if (arguments.size() == 1)
            return action;
        *why = std::string(shape->word) + " takes no arguments";
        return std::nullopt;
    }
    unsigned long long device = 0;
    unsigned long long inode = 0;
    if (arguments.size() < 5 || (arguments.size() - 5) % 3 != 0 || !qbcore::isCleanAbsolutePath(arguments[1])
        || !qbcore::isBundleName(arguments[2]) || !parseNumber(arguments[3], &device) || !parseNumber(arguments[4], &inode)) {
        *why = "move takes FOLDER NAME DEVICE INODE and PATH DEVICE INODE for each bundle to remove";
        return std::nullopt;
    }
    action.folder = arguments[1];
    action.name = arguments[2];
    action.sourceDevice = static_cast<dev_t>(device);
    action.sourceInode = static_cast<ino_t>(inode);
    for (size_t i = 5; i < arguments.size(); i += 3) {
        if (!qbcore::isBundlePath(arguments[i]) || !parseNumber(arguments[i + 1], &device)
            || !parseNumber(arguments[i + 2], &inode)) {
            *why = "move: a bundle to remove needs its full path, device and inode";
            return std::nullopt;
        }
        action.removals.push_back({arguments[i], static_cast<dev_t>(device), static_cast<ino_t>(inode)});
    }
    return action;
}

Session::Session(Action action, uid_t user, Place place) : m_action(std::move(action)), m_user(user), m_place(place)
{
    if (m_action.kind == ActionKind::Move && m_place == Place::Helper && m_action.folder != kApplicationsFolder)
        m_finished = true;
    if (m_action.kind == ActionKind::Move && !m_finished)
        clearStaleCopies(m_action.folder);
}

Result Session::perform(const std::vector<std::string>& fields, StopCheck stop, void* stopContext)
{
    const auto refuse = [this](const std::string& reason) {
        m_finished = true;
        return failure(reason);
    };
    if (m_finished)
        return failure("this session serves nothing more");
    if (fields.empty() || fields[0].empty())
        return refuse("empty request");
    for (const std::string& field : fields) {
        if (qbcore::hasControlCharacter(field))
            return refuse("refusing a request holding a control character");
    }
    const RequestShape* shape = shapeOf(fields);
    if (!shape)
        return refuse("unknown request \"" + shownWord(fields[0]) + "\"");
    if (shape->action != m_action.kind)
        return refuse("\"" + std::string(shape->word) + "\" is not a request of this session's action");
    switch (shape->kind) {
    case RequestKind::Remove:
        return remove(fields);
    case RequestKind::Install:
        return install(fields);
    case RequestKind::RepairTool:
    case RequestKind::RepairPermissions:
        return runTool(*shape, fields, stop, stopContext);
    }
    return refuse("unknown request");
}

Result Session::remove(const std::vector<std::string>& fields)
{
    unsigned long long device = 0;
    unsigned long long inode = 0;
    const bool recorded = parseNumber(fields[2], &device) && parseNumber(fields[3], &inode);
    for (size_t i = m_nextRemoval; recorded && i < m_action.removals.size(); ++i) {
        const Removal& removal = m_action.removals[i];
        if (removal.path != fields[1] || removal.device != device || removal.inode != inode)
            continue;
        m_nextRemoval = i + 1;
        Result result = removeRecorded(removal.path, Identity{kProductIdentifier, removal.device, removal.inode});
        // A bundle that is not to be removed ends the move there.
        m_finished = !result.ok;
        return result;
    }
    m_finished = true;
    return failure("not removing \"" + qbcore::shownPlain(fields[1])
                   + "\": not a bundle of this move, as it was found, in the move's order");
}

Result Session::install(const std::vector<std::string>& fields)
{
    m_finished = true;
    if (fields[2] != m_action.folder || fields[3] != m_action.name)
        return failure("not installing as \"" + qbcore::shownPlain(fields[2]) + "/" + qbcore::shownPlain(fields[3])
                       + "\": this move installs \"" + m_action.folder + "/" + m_action.name + "\"");
    CopyTracker tracker(m_progress, m_progressContext);
    return installInto(m_action, fields[1], m_user, m_place, tracker);
}

Result Session::runTool(const RequestShape& shape, const std::vector<std::string>& fields, StopCheck stop, void* stopContext)
{
    m_finished = true;
    std::string why;
    if (shape.kind == RequestKind::RepairPermissions) {
        Fd tool = openInstalledTool(&why);
        if (!tool.valid())
            return failure("not running: " + why);
        return runFromDescriptor(tool.get(), kInstalledUpdateTool, {"repairpermissions"}, toolLimit(fields[1]), stop,
                                 stopContext);
    }
    const std::string& asked = fields[3];
    const std::string suffix = std::string("/") + kCarriedUpdateTool;
    if (!qbcore::isCleanAbsolutePath(fields[4]))
        return failure("the signature's path is not a plain absolute path");
    std::string bundle;
    Fd tool = openCarriedTool(m_user, &bundle, &why);
    if (!tool.valid())
        return failure("not running: " + why);
    // The path asked for names this bundle's own tool (it may be the bundle reached through a link).
    struct stat named {};
    struct stat own {};
    const bool same = asked.size() > suffix.size() && asked.compare(asked.size() - suffix.size(), suffix.size(), suffix) == 0
                      && ::stat(asked.substr(0, asked.size() - suffix.size()).c_str(), &named) == 0
                      && ::stat(bundle.c_str(), &own) == 0 && named.st_dev == own.st_dev && named.st_ino == own.st_ino;
    if (!same)
        return failure("\"" + qbcore::shownPlain(asked) + "\" is not the update tool carried by \"" + bundle + "\"");
    return runFromDescriptor(tool.get(), bundle + suffix, {"repair", fields[4]}, toolLimit(fields[1]), stop, stopContext);
}

void clearStaleCopies(const std::string& folder)
{
    std::string why;
    Fd applications = openRootOnlyFolder(folder, &why);
    Listing listing = applications.valid() ? listingOf(applications.get()) : Listing();
    if (!listing)
        return;
    std::vector<std::string> stale;
    while (const dirent* found = ::readdir(listing.get())) {
        const std::string name = found->d_name;
        pid_t pid = 0;
        struct stat status {};
        if (!scratchOwner(name, &pid) || ::kill(pid, 0) == 0 || errno != ESRCH
            || ::fstatat(applications.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(status.st_mode)
            || status.st_uid != 0)
            continue;
        Fd copy(::openat(applications.get(), name.c_str(), kFolderFlags));
        const std::string identifier = copy.valid() ? identifierOf(copy.get()) : std::string("?");
        // A half copy may not have its Info.plist yet; another product's is left alone.
        if (identifier.empty() || identifier == kProductIdentifier)
            stale.push_back(name);
    }
    for (const std::string& name : stale)
        (void)removeTree(applications.get(), name, &why);
}

// ---- Checks ----

bool isRootOnlyFolderChain(const std::string& folder, std::string* why)
{
    std::string ignored;
    return openRootOnlyFolder(folder, why ? why : &ignored).valid();
}

bool isRootOnlyExecutable(const std::string& path, std::string* why)
{
    std::string ignored;
    std::string& reason = why ? *why : ignored;
    std::string parent, name;
    if (!qbcore::isCleanAbsolutePath(path)) {
        reason = "\"" + qbcore::shownPlain(path) + "\" is not a plain absolute path";
        return false;
    }
    splitLast(path, &parent, &name);
    Fd folder = openRootOnlyFolder(parent, &reason);
    if (!folder.valid())
        return false;
    struct stat status {};
    if (::fstatat(folder.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        reason = errorText("cannot look at \"" + path + "\"");
        return false;
    }
    if (!S_ISREG(status.st_mode) || !isRootOnly(status)) {
        reason = "\"" + path + "\" is not a regular file owned and only writable by root";
        return false;
    }
    return true;
}

bool isPlainFileInBundle(const std::string& bundle, const std::string& relative, std::string* why)
{
    // The folders leading to the bundle may be links (a linked Applications folder); inside it nothing may.
    char* resolved = ::realpath(bundle.c_str(), nullptr);
    const std::string real = resolved ? resolved : "";
    std::free(resolved);
    if (real.empty()) {
        *why = errorText("cannot find \"" + bundle + "\"");
        return false;
    }
    Fd folder = openFolderChain(real, false, why);
    std::vector<std::string> components;
    if (!folder.valid() || !splitAbsolute("/" + relative, &components) || components.empty())
        return false;
    std::string walked = bundle;
    for (size_t i = 0; i + 1 < components.size(); ++i) {
        walked += "/" + components[i];
        folder = Fd(::openat(folder.get(), components[i].c_str(), kPassFlags));
        if (!folder.valid()) {
            *why = errorText("\"" + walked + "\" is not a real folder");
            return false;
        }
    }
    struct stat status {};
    if (::fstatat(folder.get(), components.back().c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode)) {
        *why = "\"" + bundle + "/" + relative + "\" is not a regular file (a link is refused)";
        return false;
    }
    return true;
}

bool identify(const std::string& path, Identity* identity)
{
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
        return false;
    Fd bundle(::open(path.c_str(), kFolderFlags));
    if (!bundle.valid())
        return false;
    identity->device = status.st_dev;
    identity->inode = status.st_ino;
    identity->identifier = identifierOf(bundle.get());
    return true;
}

bool identifyRunningBundle(const std::string& path, Identity* identity)
{
    char* resolved = ::realpath(path.c_str(), nullptr);
    const std::string real = resolved ? resolved : "";
    std::free(resolved);
    std::string why;
    Fd bundle = openFolderChain(real, false, &why);
    RunningProgram program;
    struct stat status {};
    if (!bundle.valid() || !runningProgram(&program) || !holdsRunningProgram(bundle.get(), program)
        || ::fstat(bundle.get(), &status) != 0)
        return false;
    identity->device = status.st_dev;
    identity->inode = status.st_ino;
    identity->identifier = identifierOf(bundle.get());
    return true;
}

Result removeBundleWithOwnRights(const std::string& path)
{
    if (!qbcore::isBundlePath(path))
        return failure("\"" + qbcore::shownPlain(path) + "\" is not the full path of an application bundle");
    std::string parent, name, why;
    splitLast(path, &parent, &name);
    Fd folder = openFolderChain(parent, false, &why);
    if (!folder.valid())
        return failure("not removing \"" + path + "\": " + why);
    struct stat status {};
    if (::fstatat(folder.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? success() : failure(errorText("cannot look at \"" + path + "\""));
    if (!S_ISDIR(status.st_mode))
        return failure("not removing \"" + path + "\": not a real folder");
    return removeHidden(folder.get(), path, name);
}

int openFolderWithoutLinks(const std::string& path, std::string* why)
{
    return openFolderChain(path, false, why).release();
}

} // namespace privileged
