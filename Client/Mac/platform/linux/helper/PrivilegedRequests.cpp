#include "PrivilegedRequests.h"

#include "PathRules.h"

#include <plist/plist.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
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

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr off_t kMaxInfoPlistSize = 1 << 20;

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

bool endsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
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
// with `rootOnly`, owned by root and writable by no one else.
Fd openFolderChain(const std::string& folder, bool rootOnly, std::string* why)
{
    std::vector<std::string> components;
    if (!splitAbsolute(folder, &components)) {
        *why = "\"" + folder + "\" is not a plain absolute path";
        return Fd();
    }
    Fd current(::open("/", kFolderFlags));
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
        current = Fd(::openat(current.get(), components[i].c_str(), kFolderFlags));
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

void splitLast(const std::string& path, std::string* parent, std::string* name)
{
    const size_t slash = path.rfind('/');
    *parent = slash == 0 ? std::string("/") : path.substr(0, slash);
    *name = path.substr(slash + 1);
}

// The identifier in Contents/Info.plist of the opened bundle folder.
std::string identifierOf(int bundleFd)
{
    Fd contents(::openat(bundleFd, "Contents", kFolderFlags));
    if (!contents.valid())
        return {};
    Fd file(::openat(contents.get(), "Info.plist", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
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

// Removes `name` in the opened folder and everything below it, never
// following a link and never leaving the device it started on.
bool removeTree(int parentFd, const std::string& name, dev_t device, std::string* why)
{
    struct stat status {};
    if (::fstatat(parentFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return true;
        *why = errorText("cannot look at \"" + name + "\"");
        return false;
    }
    if (!S_ISDIR(status.st_mode)) {
        if (::unlinkat(parentFd, name.c_str(), 0) == 0 || errno == ENOENT)
            return true;
        *why = errorText("cannot remove \"" + name + "\"");
        return false;
    }
    if (status.st_dev != device) {
        *why = "\"" + name + "\" is on another volume";
        return false;
    }
    Fd folder(::openat(parentFd, name.c_str(), kFolderFlags));
    if (!folder.valid()) {
        // Swapped for something else meanwhile: take the entry itself away.
        if ((errno == ELOOP || errno == ENOTDIR) && ::unlinkat(parentFd, name.c_str(), 0) == 0)
            return true;
        *why = errorText("cannot open \"" + name + "\"");
        return false;
    }
    std::vector<std::string> entries;
    {
        DIR* listing = ::fdopendir(::dup(folder.get()));
        if (!listing) {
            *why = errorText("cannot list \"" + name + "\"");
            return false;
        }
        while (const dirent* entry = ::readdir(listing)) {
            const std::string child = entry->d_name;
            if (child != "." && child != "..")
                entries.push_back(child);
        }
        ::closedir(listing);
    }
    for (const std::string& child : entries) {
        if (!removeTree(folder.get(), child, device, why))
            return false;
    }
    if (::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
        *why = errorText("cannot remove \"" + name + "\"");
        return false;
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

// File-system rights of one user for reads, root's for writes. The helper is
// single-threaded; in a launcher that runs as root the user is root.
class Rights {
public:
    explicit Rights(uid_t user) : m_user(user)
    {
        if (m_user == 0)
            return;
        const passwd* account = ::getpwuid(m_user);
        m_group = account ? account->pw_gid : static_cast<gid_t>(-1);
        if (account) {
            int count = 64;
            m_groups.resize(static_cast<size_t>(count));
            if (::getgrouplist(account->pw_name, m_group, m_groups.data(), &count) < 0) {
                m_groups.resize(static_cast<size_t>(count));
                ::getgrouplist(account->pw_name, m_group, m_groups.data(), &count);
            }
            m_groups.resize(static_cast<size_t>(std::max(count, 0)));
        }
        const int saved = ::getgroups(0, nullptr);
        m_savedGroups.resize(static_cast<size_t>(std::max(saved, 0)));
        if (saved > 0)
            ::getgroups(saved, m_savedGroups.data());
    }
    ~Rights() { asRoot(); }

    bool asUser()
    {
        if (m_user == 0)
            return true;
        if (::setgroups(m_groups.size(), m_groups.data()) != 0)
            return false;
        ::setfsgid(m_group);
        ::setfsuid(m_user);
        // setfsuid reports the previous value only: ask again to see it took.
        return static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1))) == m_user;
    }
    void asRoot()
    {
        if (m_user == 0)
            return;
        ::setfsuid(0);
        ::setfsgid(0);
        ::setgroups(m_savedGroups.size(), m_savedGroups.data());
    }

private:
    uid_t m_user;
    gid_t m_group = 0;
    std::vector<gid_t> m_groups;
    std::vector<gid_t> m_savedGroups;
};

bool copyBytes(int from, int to, std::string* why)
{
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(from, buffer, sizeof buffer);
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
            const ssize_t n = ::write(to, buffer + written, static_cast<size_t>(got - written));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                *why = errorText("cannot write");
                return false;
            }
            written += n;
        }
    }
}

// Copies the contents of the opened source folder into the opened (new,
// root-owned) destination folder.
bool copyFolder(int sourceFd, int destinationFd, Rights& rights, const std::string& where, std::string* why)
{
    std::vector<std::string> entries;
    if (!rights.asUser()) {
        *why = "cannot take the user's rights";
        return false;
    }
    DIR* listing = ::fdopendir(::dup(sourceFd));
    if (listing) {
        while (const dirent* entry = ::readdir(listing)) {
            const std::string child = entry->d_name;
            if (child != "." && child != "..")
                entries.push_back(child);
        }
        ::closedir(listing);
    }
    rights.asRoot();
    if (!listing) {
        *why = errorText("cannot list \"" + where + "\"");
        return false;
    }
    std::sort(entries.begin(), entries.end());
    for (const std::string& name : entries) {
        const std::string path = where + "/" + name;
        struct stat status {};
        rights.asUser();
        const bool looked = ::fstatat(sourceFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
        rights.asRoot();
        if (!looked) {
            *why = errorText("cannot look at \"" + path + "\"");
            return false;
        }
        if (S_ISDIR(status.st_mode)) {
            rights.asUser();
            Fd child(::openat(sourceFd, name.c_str(), kFolderFlags));
            rights.asRoot();
            if (!child.valid()) {
                *why = errorText("cannot open \"" + path + "\"");
                return false;
            }
            if (::mkdirat(destinationFd, name.c_str(), 0700) != 0) {
                *why = errorText("cannot make \"" + path + "\"");
                return false;
            }
            Fd made(::openat(destinationFd, name.c_str(), kFolderFlags));
            if (!made.valid() || ::fchown(made.get(), 0, 0) != 0) {
                *why = errorText("cannot open the copy of \"" + path + "\"");
                return false;
            }
            if (!copyFolder(child.get(), made.get(), rights, path, why))
                return false;
            if (::fchmod(made.get(), 0755) != 0) {
                *why = errorText("cannot set the mode of \"" + path + "\"");
                return false;
            }
        } else if (S_ISREG(status.st_mode)) {
            rights.asUser();
            Fd file(::openat(sourceFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
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
            if (!copyBytes(file.get(), copy.get(), why)) {
                *why = "\"" + path + "\": " + *why;
                return false;
            }
            // u=rwX,go=rX: executable stays executable, set-ID bits never survive.
            const mode_t mode = (opened.st_mode & 0111) ? 0755 : 0644;
            if (::fchmod(copy.get(), mode) != 0) {
                *why = errorText("cannot set the mode of \"" + path + "\"");
                return false;
            }
        } else if (S_ISLNK(status.st_mode)) {
            std::string target(PATH_MAX, '\0');
            rights.asUser();
            const ssize_t length = ::readlinkat(sourceFd, name.c_str(), target.data(), target.size());
            rights.asRoot();
            if (length < 0 || static_cast<size_t>(length) >= target.size()) {
                *why = errorText("cannot read the link \"" + path + "\"");
                return false;
            }
            target.resize(static_cast<size_t>(length));
            if (::symlinkat(target.c_str(), destinationFd, name.c_str()) != 0
                || ::fchownat(destinationFd, name.c_str(), 0, 0, AT_SYMLINK_NOFOLLOW) != 0) {
                *why = errorText("cannot make the link \"" + path + "\"");
                return false;
            }
        } else {
            *why = "\"" + path + "\" is a device, pipe or socket: not installed";
            return false;
        }
    }
    return true;
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

} // namespace

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
        reason = "\"" + path + "\" is not a plain absolute path";
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
    identity->known = true;
    return true;
}

Result removeBundle(const std::string& path, const Identity& expected)
{
    return removeBundleIn(path, expected, true);
}

Result removeBundleIn(const std::string& path, const Identity& expected, bool rootOnlyFolders)
{
    if (!qbcore::isBundlePath(path))
        return failure("\"" + path + "\" is not the full path of an application bundle");
    std::string parent, name;
    splitLast(path, &parent, &name);
    std::string why;
    Fd folder = openFolderChain(parent, rootOnlyFolders, &why);
    if (!folder.valid())
        return failure("not removing \"" + path + "\": " + why);
    struct stat status {};
    if (::fstatat(folder.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? success() : failure(errorText("cannot look at \"" + path + "\""));
    if (!S_ISDIR(status.st_mode))
        return failure("not removing \"" + path + "\": not a real folder");
    if (expected.known) {
        if (status.st_dev != expected.device || status.st_ino != expected.inode)
            return failure("not removing \"" + path + "\": it is not the bundle that was found there");
        if (!expected.identifier.empty()) {
            Fd bundle(::openat(folder.get(), name.c_str(), kFolderFlags));
            if (!bundle.valid() || identifierOf(bundle.get()) != expected.identifier)
                return failure("not removing \"" + path + "\": its identifier changed");
        }
    }
    // Out of sight first, so that an interrupted removal never leaves a
    // half bundle under the bundle's name.
    const std::string hidden = scratchName(folder.get(), name, "removing");
    if (::renameat(folder.get(), name.c_str(), folder.get(), hidden.c_str()) != 0)
        return failure(errorText("cannot remove \"" + path + "\""));
    if (!removeTree(folder.get(), hidden, status.st_dev, &why))
        return failure("cannot remove \"" + path + "\": " + why);
    return success();
}

Result installBundle(const std::string& source, const std::string& folder, const std::string& name, uid_t readAs)
{
    if (folder != kApplicationsFolder)
        return failure("not installing into \"" + folder + "\": only \"" + kApplicationsFolder + "\" is served");
    return installBundleInto(kApplicationsFolder, source, name, readAs);
}

Result installBundleInto(const std::string& folder, const std::string& source, const std::string& name, uid_t readAs)
{
    if (!qbcore::isCleanAbsolutePath(source) || !qbcore::isBundleName(name))
        return failure("not installing \"" + source + "\" as \"" + name + "\": not an application bundle");
    std::string why;
    Fd destinationFolder = openRootOnlyFolder(folder, &why);
    if (!destinationFolder.valid())
        return failure("not installing into \"" + folder + "\": " + why);
    struct stat existing {};
    if (::fstatat(destinationFolder.get(), name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0)
        return failure("\"" + folder + "/" + name + "\" is still there");

    Rights rights(readAs);
    if (!rights.asUser())
        return failure("cannot take the user's rights");
    Fd sourceFolder(::open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    rights.asRoot();
    if (!sourceFolder.valid())
        return failure(errorText("cannot open \"" + source + "\""));

    const std::string hidden = scratchName(destinationFolder.get(), name, "installing");
    if (::mkdirat(destinationFolder.get(), hidden.c_str(), 0700) != 0)
        return failure(errorText("cannot make a folder in \"" + folder + "\""));
    Fd copy(::openat(destinationFolder.get(), hidden.c_str(), kFolderFlags));
    bool done = copy.valid() && ::fchown(copy.get(), 0, 0) == 0;
    if (!done)
        why = errorText("cannot open the new folder");
    done = done && copyFolder(sourceFolder.get(), copy.get(), rights, source, &why);
    if (done && (::fchmod(copy.get(), 0755) != 0 || ::syncfs(copy.get()) != 0)) {
        why = errorText("cannot finish the copy");
        done = false;
    }
    if (done
        && ::renameat2(destinationFolder.get(), hidden.c_str(), destinationFolder.get(), name.c_str(), RENAME_NOREPLACE)
               != 0) {
        why = errorText("cannot put the copy in place");
        done = false;
    }
    if (!done) {
        std::string ignored;
        struct stat top {};
        if (::fstat(destinationFolder.get(), &top) == 0)
            removeTree(destinationFolder.get(), hidden, top.st_dev, &ignored);
        return failure(why);
    }
    ::fsync(destinationFolder.get());
    return success();
}

Result runTool(const std::string& path, const std::vector<std::string>& arguments, bool capture, int limitSeconds,
               StopCheck stop, void* stopContext, bool trustedBundleTool)
{
    std::string why;
    if (qbcore::hasControlCharacter(path))
        return failure("refusing a control character in the tool's path");
    for (const std::string& argument : arguments) {
        if (qbcore::hasControlCharacter(argument))
            return failure("refusing a control character in an argument of \"" + path + "\"");
    }
    // Links are resolved once and the file they lead to is checked and run:
    // /bin/sh is a link, and what matters is who can change what is executed.
    std::string executable = path;
    if (!trustedBundleTool) {
        char* resolved = ::realpath(path.c_str(), nullptr);
        executable = resolved ? resolved : "";
        std::free(resolved);
        if (executable.empty())
            return failure(errorText("cannot find \"" + path + "\""));
        if (!isRootOnlyExecutable(executable, &why))
            return failure("not running: " + why);
    }

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    int pipeFds[2] = {-1, -1};
    if (capture && ::pipe2(pipeFds, O_CLOEXEC) != 0)
        return failure(errorText("cannot make a pipe"));
    const pid_t pid = ::fork();
    if (pid < 0) {
        if (capture) {
            ::close(pipeFds[0]);
            ::close(pipeFds[1]);
        }
        return failure(errorText("cannot start \"" + path + "\""));
    }
    if (pid == 0) {
        ::setpgid(0, 0);
        const int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0)
            ::dup2(null, STDIN_FILENO);
        ::dup2(capture ? pipeFds[1] : STDERR_FILENO, STDOUT_FILENO);
        (void)::signal(SIGPIPE, SIG_DFL);
        ::execve(executable.c_str(), argv.data(), environ);
        ::_exit(127);
    }
    ::setpgid(pid, pid);
    Fd output;
    if (capture) {
        ::close(pipeFds[1]);
        output = Fd(pipeFds[0]);
    }

    using Clock = std::chrono::steady_clock;
    const bool limited = limitSeconds > 0;
    const auto deadline = Clock::now() + std::chrono::seconds(std::min(limitSeconds, kToolTimeLimitSeconds));
    Result result;
    bool exited = false;
    while (!exited || output.valid()) {
        if (!exited) {
            int status = 0;
            const pid_t got = ::waitpid(pid, &status, WNOHANG);
            if (got == pid) {
                exited = true;
                result.waitStatus = status;
            } else if (got < 0 && errno != EINTR) {
                result.reason = errorText("cannot wait for \"" + path + "\"");
                return result;
            }
        }
        const bool overdue = limited && Clock::now() >= deadline;
        const bool stopping = stop && stop(stopContext);
        if (overdue || stopping) {
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);
            if (!exited) {
                int status = 0;
                while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
                result.waitStatus = status;
            }
            result.timedOut = overdue;
            result.stopped = stopping && !overdue;
            result.ok = true;
            return result;
        }
        if (output.valid()) {
            pollfd watched{output.get(), POLLIN, 0};
            if (::poll(&watched, 1, 50) > 0) {
                char chunk[4096];
                const ssize_t got = ::read(output.get(), chunk, sizeof chunk);
                if (got > 0)
                    result.output.append(chunk, static_cast<size_t>(got));
                else if (got == 0 || errno != EINTR)
                    output.reset();
            }
        } else if (!exited) {
            ::usleep(20000);
        }
    }
    result.ok = true;
    return result;
}

std::string ownBundlePath()
{
    std::string executable = readLink("/proc/self/exe");
    for (const char* expected : {"MacOS", "Contents"}) {
        const size_t slash = executable.rfind('/');
        if (slash == std::string::npos)
            return {};
        executable.resize(slash);
        if (!endsWith(executable, std::string("/") + expected))
            return {};
    }
    executable.resize(executable.rfind('/'));
    return endsWith(executable, ".app") ? executable : std::string();
}

Result perform(const std::vector<std::string>& fields, uid_t user, StopCheck stop, void* stopContext)
{
    if (fields.empty())
        return failure("empty request");
    for (const std::string& field : fields) {
        if (qbcore::hasControlCharacter(field))
            return failure("refusing a request holding a control character");
    }
    const std::string& request = fields[0];
    if (request == "remove" && fields.size() == 5) {
        Identity expected;
        expected.identifier = fields[2];
        expected.device = static_cast<dev_t>(std::strtoull(fields[3].c_str(), nullptr, 10));
        expected.inode = static_cast<ino_t>(std::strtoull(fields[4].c_str(), nullptr, 10));
        expected.known = expected.device != 0 || expected.inode != 0;
        return removeBundle(fields[1], expected);
    }
    if (request == "install" && fields.size() == 4)
        return installBundle(fields[1], fields[2], fields[3], user);
    if (request == "updatetool" && fields.size() >= 3) {
        const int asked = static_cast<int>(std::strtol(fields[1].c_str(), nullptr, 10));
        const int limit = asked > 0 ? std::min(asked, kToolTimeLimitSeconds) : kToolTimeLimitSeconds;
        if (fields[2] == "repairpermissions" && fields.size() == 3)
            return runTool(kInstalledUpdateTool, {"repairpermissions"}, false, limit, stop, stopContext, false);
        if (fields[2] == "repair" && fields.size() == 5) {
            // Only the copy of the tool carried by the bundle this program belongs to.
            const std::string bundle = ownBundlePath();
            char* resolved = ::realpath(fields[3].c_str(), nullptr);
            const std::string tool = resolved ? resolved : "";
            std::free(resolved);
            if (bundle.empty() || tool.compare(0, bundle.size() + 20, bundle + "/Contents/Resources/") != 0)
                return failure("\"" + fields[3] + "\" is not the update tool carried by \"" + bundle + "\"");
            return runTool(tool, {"repair", fields[4]}, false, limit, stop, stopContext, true);
        }
    }
    if (request == "run" && fields.size() >= 2) {
        const std::vector<std::string> arguments(fields.begin() + 2, fields.end());
        return runTool(fields[1], arguments, true, 0, stop, stopContext, false);
    }
    return failure("unknown request \"" + request + "\"");
}

} // namespace privileged
