#pragma once
// Administrator rights. A session is one authorisation for one user action
// (PrivilegedAction: the move, or one repair run): it asks the user once
// (copyAdminRights) and then performs that action's requests, in their
// order, from the closed set the root side declares
// (platform/linux/helper/PrivilegedRequests.h). The Linux service starts one
// root helper through pkexec per session, with the action in its arguments,
// or performs the requests in-process when this process already runs as
// root. While a session exists this process is not dumpable, so that no
// other process of the user can reach its descriptors. Tests replace the
// shared service with a fake.

#include "FileManager.h"

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

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
// The running bundle as it was when this was first asked (main asks at the
// start): reached without a link and holding the running executable. Zero
// device and inode when it could not be told.
BundleIdentity runningBundleIdentity();

// The user action one session is for.
struct PrivilegedAction {
    enum class Kind { None, Move, Repair, RepairPermissions };
    Kind kind = Kind::None;
    QString folder;                                 // move: the folder the copy goes into
    QString name;                                   // move: the copy's name
    BundleIdentity source;                          // move: the running bundle
    QList<QPair<QString, BundleIdentity>> removals; // move: what it may remove, in its order
};

// A regular file owned by root and writable by no one else, in a folder chain
// writable by no one but root: the only kind of file a root process executes.
bool isSafeToExecuteAsRoot(const QString& path, QString* why = nullptr);
// Every folder from "/" to `folder` is a real folder writable only by root.
bool isRootOnlyFolder(const QString& folder);
// Removes a bundle with this process's own rights, never following a link on
// the way to it or inside it.
bool removeBundleWithOwnRights(const QString& path, QString* why);
// `relative` (e.g. "Contents/MacOS/x") below `bundle` is a regular file
// reached without a link: checked before it is executed.
bool isPlainFileInBundle(const QString& bundle, const QString& relative, QString* why = nullptr);

// One authorisation: copyAdminRights asks the user once for the action set
// before; its requests then run with administrator rights without asking
// again, until the action is done or the session is freed. Only the closed
// set of requests below exists; each is checked again where it runs with the
// rights.
class AuthorizationSession {
public:
    virtual ~AuthorizationSession() = default;
    // The action the session is for; set before copyAdminRights.
    void setAction(const PrivilegedAction& action) { m_action = action; }
    const PrivilegedAction& action() const { return m_action; }
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
    // Told, on the calling thread while installBundle copies, how far the
    // copy has come as the root side reports it; nullopt for a report that
    // could not be read, which is not to be used.
    void setCopyProgress(std::function<void(const std::optional<files::CopyProgress>&)> report)
    {
        m_copyProgress = std::move(report);
    }
    // Installs a root-owned copy of the bundle `source` as `bundleName` in
    // `folder`, which must be the local Applications folder; the source is
    // read with the asking user's rights.
    int32_t installBundle(const QString& source, const QString& folder, const QString& bundleName,
                          PrivilegedOutcome* outcome);
    // Runs the update tool and waits for it, at most `limitSeconds`:
    // {"repair", carried tool path, signature path} or {"repairpermissions"}.
    int32_t runUpdateTool(const QStringList& arguments, int limitSeconds, PrivilegedOutcome* outcome);

protected:
    void reportCopyProgress(const std::optional<files::CopyProgress>& progress) const
    {
        if (m_copyProgress)
            m_copyProgress(progress);
    }

private:
    PrivilegedAction m_action;
    std::function<void(const std::optional<files::CopyProgress>&)> m_copyProgress;
};

class AuthorizationService {
public:
    virtual ~AuthorizationService() = default;
    virtual std::unique_ptr<AuthorizationSession> createSession(int32_t* status) = 0;
    // This process already has the rights (it runs as root): its sessions ask
    // nothing and run the requests in-process.
    virtual bool hasAdministratorRights() const;

    // The service in use: the system's, unless a test installed another.
    static AuthorizationService& shared();
    static void setShared(AuthorizationService* service); // nullptr restores the system's
};

} // namespace platform
