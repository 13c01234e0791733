#pragma once
// The closed set of things done with administrator rights, shared by the
// root helper program and by a launcher that already runs as root. Plain
// POSIX and C++: the helper links nothing else but libplist and the path
// rules of the Qt-free library.
//
// A session is one user action (kActions): the helper is started with the
// action in its arguments and serves only the requests (kRequests) that
// action needs, in their order, and nothing once the action is done. Every
// path is worked on through opened folder descriptors without following
// links; nothing here reads the environment.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace privileged {

// The one folder the helper installs bundles into and removes them from.
inline constexpr const char* kApplicationsFolder = "/Applications";
// The installed update tool that "repairpermissions" runs.
inline constexpr const char* kInstalledUpdateTool = "/Library/Application Support/Quorbel/updateqb";
// The update tool a bundle carries, inside the bundle.
inline constexpr const char* kCarriedUpdateTool = "Contents/Resources/updateqb";
// The helper's executable, inside the bundle.
inline constexpr const char* kHelperExecutable = "Contents/MacOS/quorbel-authhelper";
// This product's CFBundleIdentifier (Configuration.h's kClientBundleIdentifier):
// the only bundles ever removed with the rights.
inline constexpr const char* kProductIdentifier = "com.quorbel.Quorbel";
// The longest a tool run may last before it is ended and counts as failed.
inline constexpr int kToolTimeLimitSeconds = 300;
// The longest request line the helper reads; a longer one ends the session.
inline constexpr size_t kMaxRequestLine = size_t{64} * 1024;
// How deep a bundle's folders may go, copied or removed.
inline constexpr int kMaxTreeDepth = 64;

// ---- The closed set ----

// What a session is started for: the helper's first argument, then the
// action's own arguments.
enum class ActionKind { Move, Repair, RepairPermissions };

struct ActionShape {
    ActionKind kind;
    std::string_view word;
    std::string_view arguments;
    std::string_view serves;
};

inline constexpr ActionShape kActions[] = {
    {ActionKind::Move, "move", "FOLDER NAME DEVICE INODE [PATH DEVICE INODE]...",
     "the move of the running bundle (DEVICE INODE) to FOLDER/NAME: a remove of each listed bundle that is to go, in "
     "the list's order, then one install"},
    {ActionKind::Repair, "repair", "", "one run of the bundle's own update tool: one updatetool repair"},
    {ActionKind::RepairPermissions, "repairpermissions", "",
     "one run of the installed update tool: one updatetool repairpermissions"},
};

enum class RequestKind { Remove, Install, RepairTool, RepairPermissions };

struct RequestShape {
    RequestKind kind;
    ActionKind action;     // the one action that needs it
    std::string_view word; // fields[0]
    std::string_view tool; // fields[2] of an "updatetool" request
    size_t fields;         // fields, the word included
    std::string_view needs;
};

inline constexpr RequestShape kRequests[] = {
    {RequestKind::Remove, ActionKind::Move, "remove", "", 4,
     "remove PATH DEVICE INODE: a bundle of the move's list, later in it than the last one removed, still the folder "
     "of that device and inode, with this product's identifier, through folders only root can write"},
    {RequestKind::Install, ActionKind::Move, "install", "", 4,
     "install SOURCE FOLDER NAME: the move's folder and name; SOURCE reached without a link, the running bundle (its "
     "device and inode, and the running program inside it); copied root-owned, u=rwX,go=rX, no link, no special "
     "file, read with the asking user's rights"},
    {RequestKind::RepairTool, ActionKind::Repair, "updatetool", "repair", 5,
     "updatetool LIMIT repair TOOL SIGNATURE: TOOL is the running bundle's own Contents/Resources/updateqb, opened "
     "once, a regular file of root or the asking user that no one else can write, without set-ID bits, and run "
     "from that descriptor"},
    {RequestKind::RepairPermissions, ActionKind::RepairPermissions, "updatetool", "repairpermissions", 3,
     "updatetool LIMIT repairpermissions: the installed tool, a regular file owned and only writable by root in "
     "folders only root can write, run from its descriptor"},
};

// ---- Sessions ----

struct Result {
    bool ok = false;
    std::string reason; // why a request was refused or failed
    int waitStatus = 0; // raw wait status of a tool run
    bool timedOut = false;
    bool stopped = false;
};

// What the launcher recorded about a bundle when it found it.
struct Identity {
    std::string identifier;
    dev_t device = 0;
    ino_t inode = 0;
};

// A bundle the move may remove.
struct Removal {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
};

struct Action {
    ActionKind kind = ActionKind::Repair;
    std::string folder;     // move: where the copy goes
    std::string name;       // move: the copy's name
    dev_t sourceDevice = 0; // move: the running bundle
    ino_t sourceInode = 0;
    std::vector<Removal> removals; // move
};

// The helper's arguments for `action`, and back (nullopt with a reason).
std::vector<std::string> actionArguments(const Action& action);
std::optional<Action> parseAction(const std::vector<std::string>& arguments, std::string* why);

// Where a session runs. The root helper reads a source with the asking
// user's rights and installs only into kApplicationsFolder; a launcher that
// already runs as root reads it with its owner's and installs into any
// folder only root can write.
enum class Place { Helper, InProcess };

// Called while a tool runs; answering true ends the tool.
using StopCheck = bool (*)(void* context);

// How far the copy of an install has come: what is copied, and what there
// is in all (counted by a first pass; a file that grows meanwhile raises the
// total). Counts only: a report names no file.
struct CopyProgress {
    uint64_t files = 0;
    uint64_t bytes = 0;
    uint64_t totalFiles = 0;
    uint64_t totalBytes = 0;
    bool operator==(const CopyProgress&) const = default;
};
// Called after each file an install copies.
using ProgressReport = void (*)(const CopyProgress& progress, void* context);

// The helper's line for a report, without its line end:
// "progress<TAB>FILES<TAB>BYTES<TAB>TOTALFILES<TAB>TOTALBYTES".
std::string progressLine(const CopyProgress& progress);
// A line read back: nullopt unless it has exactly that shape, with plain
// decimal counts (no sign, no leading zero, at most 18 digits) and nothing
// done beyond its total.
std::optional<CopyProgress> parseProgressLine(std::string_view line);

class Session {
public:
    // `user` is who asked: a source is read with its rights (its account is required).
    Session(Action action, uid_t user, Place place);
    // Serves the action's next request; anything else is refused and ends the session.
    Result perform(const std::vector<std::string>& fields, StopCheck stop, void* stopContext);
    // The action is done or a request was refused: nothing more is served.
    bool finished() const { return m_finished; }
    // Where the install reports the progress of its copy.
    void setProgressReport(ProgressReport report, void* context)
    {
        m_progress = report;
        m_progressContext = context;
    }

private:
    Result remove(const std::vector<std::string>& fields);
    Result install(const std::vector<std::string>& fields);
    Result runTool(const RequestShape& shape, const std::vector<std::string>& fields, StopCheck stop, void* stopContext);

    Action m_action;
    uid_t m_user;
    Place m_place;
    size_t m_nextRemoval = 0;
    bool m_finished = false;
    ProgressReport m_progress = nullptr;
    void* m_progressContext = nullptr;
};

// Removes this product's hidden half copies and half removals that ended
// processes left in the root-only `folder` (".Name.app.installing-PID-N",
// ".Name.app.removing-PID-N").
void clearStaleCopies(const std::string& folder);

// ---- Checks the launcher makes with the same code ----

// Every component from "/" to `folder` itself is a real folder (no link)
// owned by root and writable by no one else.
bool isRootOnlyFolderChain(const std::string& folder, std::string* why);
// A regular file owned by root, writable by no one else, in such a folder chain.
bool isRootOnlyExecutable(const std::string& path, std::string* why);
// `relative` below the bundle `bundle` is a regular file reached without a
// link from the bundle folder (the folders leading to it may be links).
bool isPlainFileInBundle(const std::string& bundle, const std::string& relative, std::string* why);

// Device, inode and identifier of the bundle at `path` as it is now.
bool identify(const std::string& path, Identity* identity);
// Device and inode of the bundle at `path` (its own folders resolved), when
// it holds the running program at Contents/MacOS.
bool identifyRunningBundle(const std::string& path, Identity* identity);

// Removes the bundle `path` with this process's own rights, through real
// folders only, never following a link or entering a mount point: for what
// lies in folders the user can write.
Result removeBundleWithOwnRights(const std::string& path);

// Opens the folder `path` (absolute) component by component without
// following a link; -1 with `why` when that fails.
int openFolderWithoutLinks(const std::string& path, std::string* why);

} // namespace privileged
