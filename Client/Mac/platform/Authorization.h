#pragma once
// Administrator rights. A session is one authorisation: it asks the user once
// (copyAdminRights) and then performs a closed set of requests with
// administrator rights. The Linux service starts one root helper through
// pkexec per session, or performs the requests in-process when this process
// already runs as root. Tests replace the shared service with a fake.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>

namespace platform {

constexpr int32_t errAuthorizationSuccess = 0;
constexpr int32_t errAuthorizationInvalidSet = -60001;
constexpr int32_t errAuthorizationInternal = -60008;
constexpr int32_t errAuthorizationDenied = -60005;
constexpr int32_t errAuthorizationCanceled = -60006;
constexpr int32_t errAuthorizationInteractionNotAllowed = -60007; // no prompt can be shown
constexpr int32_t errAuthorizationToolExecuteFailure = -60031;

// Why administrator rights were not had, or a privileged run came to nothing:
// each asks the user for something different.
enum class RightsRefusal {
    None,
    Cancelled,     // the prompt was dismissed
    NotAuthorized, // this account may not administer the machine
    NoPrompt,      // no prompt can be shown: no polkit daemon or no agent
    Failed,        // anything else; the reason says what
};
// The refusal a status of copyAdminRights or perform stands for.
RightsRefusal refusalForStatus(int32_t status);

// What one privileged request came to.
struct PrivilegedOutcome {
    bool done = false;     // carried out; for a tool: it ran and ended
    int waitStatus = 0;    // a tool's raw wait status (WIFEXITED, WEXITSTATUS...)
    bool timedOut = false; // the tool outlasted its time limit and was ended
    bool stopped = false;  // the tool was ended by stopRunningTool()
    QByteArray output;     // the standard output of runExecutable
    QString reason;        // why the request was refused or failed

    // A tool that ran, ended by itself and exited with status 0.
    bool toolSucceeded() const;
};

// What was recorded about a bundle when it was found; a bundle that no longer
// matches is not removed. Zero device and inode: nothing recorded.
struct BundleIdentity {
    QString identifier;
    quint64 device = 0;
    quint64 inode = 0;
};
bool identifyBundle(const QString& path, BundleIdentity* identity);

// A regular file owned by root and writable by no one else, in a folder chain
// writable by no one but root: the only kind of file a root process executes.
bool isSafeToExecuteAsRoot(const QString& path, QString* why = nullptr);
// Every folder from "/" to `folder` is a real folder writable only by root.
bool isRootOnlyFolder(const QString& folder);
// Removes a bundle with this process's own rights, never following a link on
// the way to it or inside it.
bool removeBundleWithOwnRights(const QString& path, QString* why);

// One authorisation: copyAdminRights asks the user once; the requests then
// run with administrator rights without asking again, until the session is
// freed. Only the closed set of requests below exists; each is checked again
// where it runs with the rights.
class AuthorizationSession {
public:
    virtual ~AuthorizationSession() = default;
    // Asks for the administrator right, interacting with the user.
    virtual int32_t copyAdminRights() = 0;
    // Sends one request (its name and fields). Success means an answer came
    // back; whether the request was carried out is in `outcome`.
    virtual int32_t perform(const QStringList& request, PrivilegedOutcome* outcome) = 0;
    // Ends the tool that a request is running on another thread.
    virtual void stopRunningTool() {}
    // What the system's prompt said when copyAdminRights brought no rights
    // (for the log; never shown to the user).
    virtual QString refusalMessage() const { return {}; }
    // The one folder installBundle writes into.
    virtual QString applicationsFolder() const;

    // Removes the application bundle at `path` (a folder chain writable only
    // by root, no links), when it still matches `recorded`.
    int32_t removeBundle(const QString& path, const BundleIdentity& recorded, PrivilegedOutcome* outcome);
    // Installs a root-owned copy of the bundle `source` as `bundleName` in
    // `folder`, which must be the local Applications folder; the source is
    // read with the asking user's rights.
    int32_t installBundle(const QString& source, const QString& folder, const QString& bundleName,
                          PrivilegedOutcome* outcome);
    // Runs the update tool and waits for it, at most `limitSeconds`:
    // {"repair", carried tool path, signature path} or {"repairpermissions"}.
    int32_t runUpdateTool(const QStringList& arguments, int limitSeconds, PrivilegedOutcome* outcome);
    // Runs a root-only executable (see isSafeToExecuteAsRoot) and returns its output.
    int32_t runExecutable(const QString& path, const QStringList& arguments, PrivilegedOutcome* outcome);
};

class AuthorizationService {
public:
    virtual ~AuthorizationService() = default;
    virtual std::unique_ptr<AuthorizationSession> createSession(int32_t* status) = 0;

    // The service in use: the system's, unless a test installed another.
    static AuthorizationService& shared();
    static void setShared(AuthorizationService* service); // nullptr restores the system's
};

} // namespace platform
