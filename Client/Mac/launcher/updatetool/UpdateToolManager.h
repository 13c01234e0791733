#pragma once
// Every repair of protected parts of the system is one command line for the
// update tool, a separate set-user-ID root executable in the tool folder.
// This class composes those command lines, starts the tool (directly, or with
// administrator rights for installing the tool itself) and turns the outcome
// into a small result: 0 success, 4 failed run, 5 tool succeeded but Finder
// was not restarted. Callers treat every non-zero result as failure.

#include "ProcessControl.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

namespace platform {
class AuthorizationSession;
enum class RightsRefusal;
} // namespace platform

class UpdateToolManager {
public:
    // Values of status().
    static constexpr int32_t kStatusOK = 0;
    static constexpr int32_t kStatusToolMissing = 1;
    static constexpr int32_t kStatusToolWrongPermissions = 2;
    static constexpr int32_t kStatusNothingDoneYet = 3;
    static constexpr int32_t kStatusPrivilegedStartFailed = 4;
    static constexpr int32_t kStatusRepairNotSucceeded = 5;

    // Operation results.
    static constexpr int32_t kResultSuccess = 0;
    static constexpr int32_t kResultFailed = 4;
    static constexpr int32_t kResultFinderNotRestarted = 5;

    static UpdateToolManager& sharedManager();
    UpdateToolManager() = default;
    UpdateToolManager(const UpdateToolManager&) = delete;
    UpdateToolManager& operator=(const UpdateToolManager&) = delete;

    // The outcome last recorded by an operation.
    int32_t status() const { return m_status.load(); }

    // "/Library/Application Support/Quorbel/<name>" under the system root.
    static QString toolFolderPath(const QString& executableName);
    static QString installedUpdateToolPath();

    // 0 when the named tool in the tool folder is owned by "root" with mode
    // 04755 exactly, 1 when it is absent, 2 otherwise. Also recorded as status.
    int32_t verifyUpdateTool(const QString& name);

    // The command vocabulary.
    int32_t repairUpdateTool(const QString& toolPath, const QString& updateQBSignaturePath); // privileged
    int32_t repairPermissions();                                                             // privileged
    int32_t repairCoreAppPermissions(const QString& path);
    int32_t repairQBTool(const QString& path, const QString& signaturePath);
    int32_t repairQBToolPermissions(const QString& name);
    int32_t repairBundleUsingPackage(const QString& packagePath);
    int32_t repairFrameworkUsingPackage(const QString& packagePath);
    int32_t repairQBToolRoot(const QString& path, const QString& signaturePath);
    int32_t repairQBToolRootPermissions(const QString& name);
    int32_t repairZIPArchive(const QString& zipPath, const QString& signaturePath, const QString& installPath);
    int32_t repairIntel10_5(const QString& zipPath, const QString& signaturePath);
    int32_t installClientUpdate(const QString& updatePath, const QString& signaturePath, const QString& installPath);
    int32_t repairMonoKeypairPermissions();

    // Runs the installed update tool with `arguments`.
    int32_t runUpdateTool(const QStringList& arguments, bool waitUntilExit);
    // Runs an executable directly: no shell, our streams and environment.
    // 0 when it exited with status 0 (or, not waiting, when it started), else 4.
    int32_t runExe(const QString& path, const QStringList& arguments, bool waitUntilExit);
    // Run the installed tool, or the tool at `toolPath` (the one the bundle
    // carries), with administrator rights and wait until it ends: the repair
    // never goes on before the new tool is in place. Only the argument shapes
    // {"repairpermissions"} and {"repair", signature} exist. 0 when the tool
    // exited with status 0, else 4.
    int32_t runUpdateToolAsAdmin(const QStringList& arguments);
    int32_t runUninstalledUpdateToolAsAdmin(const QString& toolPath, const QStringList& arguments);

    // ---- FinderOverlayTool (UpdateToolManager+FinderOverlayTool.cpp) ----
    int32_t insertFinderOverlayBundle();
    int32_t runFinderOverlayTool(const QStringList& arguments, bool waitUntilExit);

    // What asks Finder to quit and waits (ProcessControl's quitApplication
    // by default); tests replace it, or only its pauses.
    using QuitApplicationFunction = std::function<QBErrorResult(const QString& bundleIdentifier, bool wait, double timeout)>;
    void setQuitApplicationFunction(QuitApplicationFunction quit);
    void setSleepFunction(SleepFunction sleep);

    // A repair-time run of a tool lasting longer than this is ended and
    // counts as failed (tests shorten it).
    static constexpr int kRepairTimeLimitSeconds = 300;
    void setRepairTimeLimit(int seconds) { m_timeLimitSeconds = seconds; }
    // Ends the tool run in progress on another thread, or the wait for its
    // administrator prompt, which then fails.
    void stopRunningTool();

    // Why the last privileged run came to nothing: each asks the user for
    // something different. `reason` is a one-line English text for a failed
    // run (empty when none is known).
    enum class Refusal { None, Cancelled, NotAuthorized, NoPrompt, Stopped, Failed };
    struct LastRefusal {
        Refusal refusal = Refusal::None;
        QString reason;
    };
    LastRefusal lastRefusal() const;
    void clearLastRefusal();

private:
    int32_t runPrivileged(const QString& operation, const QString& toolPath, const QStringList& arguments, bool logToolPath);
    static Refusal refusalFor(platform::RightsRefusal refusal);
    void setLastRefusal(Refusal refusal, const QString& reason);
    // Sets status 5, runs the installed tool and sets status 0 on success.
    int32_t runRepair(const QStringList& arguments);
    void copyMacFUSELogIfNeeded(const QString& packagePath);
    int32_t restartFinder();
    QBErrorResult quitFinder();

    // Runs a tool directly with the time limit; its exit status, or -1.
    int runAndWait(const QString& path, const QStringList& arguments);

    std::atomic<int32_t> m_status{kStatusNothingDoneYet};
    std::atomic<int> m_timeLimitSeconds{kRepairTimeLimitSeconds};
    std::atomic<qint64> m_runningPid{0};
    std::atomic<bool> m_stopAsked{false};
    mutable std::mutex m_sessionLock;
    platform::AuthorizationSession* m_runningSession = nullptr;
    LastRefusal m_lastRefusal;
    QuitApplicationFunction m_quitApplication;
    SleepFunction m_sleep;
};
