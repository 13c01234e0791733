#pragma once
// File work for a privileged process: every target is reached from "/"
// through opened folder descriptors without following links, new files are
// written unnamed (O_TMPFILE) and linked into place only when complete, and
// what the caller hands in is opened with the caller's own rights.

#include <sys/types.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace updateqb {

// A refused or failed command: its one-line reason.
class Refusal : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
[[noreturn]] void refuse(const std::string& reason);
// "<what>: <strerror(errno)>"
[[noreturn]] void refuseErrno(const std::string& what);

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    Fd(Fd&& other) noexcept : m_fd(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd();
    int get() const { return m_fd; }
    int release();
    explicit operator bool() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

// Who started the tool: the real user and group before the tool became root.
struct Caller {
    uid_t uid = 0;
    gid_t gid = 0;
};
const Caller& caller();
void setCaller(Caller who);

// Opens the folder at `components` below "/" without following links, as far
// as it exists: `*opened` tells how many components were opened (all of them
// unless `opened` is null, when a missing folder is refused). With
// `rootOnly`, every folder must be owned by root and writable by no one else
// (a sticky folder above the last one passes: no one can replace what root
// owns in it).
Fd openFolderChain(const std::vector<std::string>& components, bool rootOnly, size_t* opened = nullptr);
// Creates components[opened...] below `folder`, root-owned with mode 0755,
// and answers the last one.
Fd createFolders(Fd folder, const std::vector<std::string>& components, size_t opened);

// Opens a file the caller names, with the caller's rights, never following a
// final link: a regular file, or a pipe (read once, as it comes).
Fd openCallerSource(const std::string& path);
// The whole content of a small regular file or pipe, at most `limit` bytes.
std::string readAll(int fd, size_t limit, const std::string& what);

// Copies `source` into a new unnamed file in `folder` (mode 0600, root's);
// at most `limit` bytes.
Fd copyIntoUnnamedFile(int source, int folder, uint64_t limit, const std::string& what);
// The SHA-256 of a file's whole content, read from its start, in hexadecimal.
std::string sha256Of(int fd);

// A hidden name for this run's own temporaries, new on every call.
std::string temporaryName();

// Gives prepared files and folders their names as one change: what a name
// held before is kept under a temporary name until commit(); without a
// commit, the destructor puts back every previous entry, latest first.
// Anything at a name but what it replaces (a link, a folder for a file) is
// refused.
class Placement {
public:
    Placement() = default;
    Placement(const Placement&) = delete;
    Placement& operator=(const Placement&) = delete;
    ~Placement();
    // Links the (unnamed or named) regular file `file` as `name` in `folder`.
    void placeFile(int file, int folder, const std::string& name);
    // Renames the folder `temporary` to `name`; when undone, the new tree is
    // back at `temporary` for the caller to remove.
    void placeFolder(int folder, const std::string& temporary, const std::string& name);
    // Syncs the folders; then, for good, removes what was replaced (a failure
    // to remove it leaves a stray temporary, not a failed command).
    void commit();

private:
    struct Step {
        Fd folder;
        std::string name;
        std::string previous;  // where the replaced entry is kept; empty when the name was new
        std::string temporary; // the folder's name before it was placed
        bool isFolder = false;
    };
    std::vector<Step> m_steps;
    bool m_committed = false;
};
// Whether `name` exists in `folder`; refuses when it is a link or not of the
// wanted kind.
bool existsAs(int folder, const std::string& name, mode_t kind);

// Removes `name` from `folder` with everything below it, never following a link.
void removeTree(int folder, const std::string& name);

} // namespace updateqb
