#pragma once
// The closed set of things done with administrator rights, shared by the
// root helper program and by a launcher that already runs as root. Plain
// POSIX and C++: the helper links nothing else but libplist and the path
// rules of the Qt-free library (PathRules.h).
//
// Every path is worked on through opened folder descriptors without
// following links; nothing here reads the environment.

#include <atomic>
#include <string>
#include <sys/types.h>
#include <vector>

namespace privileged {

// The one folder bundles are installed into and removed from with rights.
inline constexpr const char* kApplicationsFolder = "/Applications";
// The installed update tool that "repairpermissions" runs.
inline constexpr const char* kInstalledUpdateTool = "/Library/Application Support/Quorbel/updateqb";
// The longest a tool run may last before it is ended and counts as failed.
inline constexpr int kToolTimeLimitSeconds = 300;

struct Result {
    bool ok = false;
    std::string reason; // why a request was refused or failed
    int waitStatus = 0; // raw wait status of a tool run
    bool timedOut = false;
    bool stopped = false;
    std::string output; // captured standard output of runExecutable
};

// What the launcher recorded about a bundle when it found it; a bundle that
// no longer matches is not removed.
struct Identity {
    std::string identifier; // empty: not compared
    dev_t device = 0;
    ino_t inode = 0;
    bool known = false;
};

// Every component from "/" to `folder` itself is a real folder (no link)
// owned by root and writable by no one else.
bool isRootOnlyFolderChain(const std::string& folder, std::string* why);
// A regular file owned by root, writable by no one else, in such a folder chain.
bool isRootOnlyExecutable(const std::string& path, std::string* why);

// Device, inode and identifier of the bundle at `path` as it is now.
bool identify(const std::string& path, Identity* identity);

// Removes the bundle `path` ("/.../Name.app"): every folder leading to it must
// be root-only, the bundle itself a real folder and, when `expected` is known,
// still the one recorded. A missing bundle is no error.
Result removeBundle(const std::string& path, const Identity& expected);
// The same, with `rootOnlyFolders` false only asking for real folders: for
// paths removed with the user's own rights.
Result removeBundleIn(const std::string& path, const Identity& expected, bool rootOnlyFolders);

// Installs a root-owned copy (modes u=rwX,go=rX, no special files, no set-ID
// bits) of the bundle folder `source` as `folder`/`name`, reading the source
// with the file-system rights of `readAs`. `folder` must be kApplicationsFolder.
Result installBundle(const std::string& source, const std::string& folder, const std::string& name, uid_t readAs);
// The same into another root-only folder; the request above fixes the folder.
Result installBundleInto(const std::string& folder, const std::string& source, const std::string& name, uid_t readAs);

// Called while a tool runs; answering true ends the tool.
using StopCheck = bool (*)(void* context);

// Runs `path` with `arguments` and waits for it, at most `limitSeconds`
// (never more than kToolTimeLimitSeconds). With `capture` its standard output
// is returned; otherwise it goes to our standard error. Standard input is
// /dev/null. The tool is run only when it is root-only (see above), unless
// `trustedBundleTool` (the update tool carried by the bundle being run).
Result runTool(const std::string& path, const std::vector<std::string>& arguments, bool capture, int limitSeconds,
               StopCheck stop, void* stopContext, bool trustedBundleTool);

// The bundle folder of the running executable, or "" when it is not in one.
std::string ownBundlePath();

// One request as the helper receives it; fields[0] names it:
//   remove PATH IDENTIFIER DEVICE INODE     (DEVICE and INODE 0: not recorded)
//   install SOURCE FOLDER NAME              (FOLDER: the local Applications folder)
//   updatetool LIMIT repair TOOL SIGNATURE  (TOOL: the one carried in our bundle)
//   updatetool LIMIT repairpermissions      (the installed tool)
//   run PATH ARGUMENTS...                   (a root-only executable; output captured)
// `user` is the user the request is made for: sources are read with its rights.
Result perform(const std::vector<std::string>& fields, uid_t user, StopCheck stop, void* stopContext);

} // namespace privileged
