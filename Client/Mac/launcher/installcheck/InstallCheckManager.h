#pragma once
// The installation check: evaluates every item of the required-items manifest
// against the machine and records one status text per item, two counters and
// two flags. Both counters 0 means the core application may start. Otherwise
// the check window explains what was found and, at the user's word, repairs
// every item through the update tool on a repair thread, then checks again.

#include "Bundle.h"

#include <QHash>
#include <QObject>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

class QDialog;
class QLabel;
class QProgressBar;
class QTimer;
class QPushButton;
class QWidget;
class QuorbelHeaderView;

class InstallCheckManager : public QObject {
    Q_OBJECT
public:
    // The manager of the running launcher: manifest and resources of the main bundle.
    static InstallCheckManager& sharedManager();
    // A manager for the manifest "RequiredItems.plist" in `bundle`'s resources, read once.
    // Without a window system (no QApplication) there is no check window.
    explicit InstallCheckManager(const platform::Bundle& bundle);
    InstallCheckManager(const InstallCheckManager&) = delete;
    InstallCheckManager& operator=(const InstallCheckManager&) = delete;
    // Waits for a repair thread still running on this manager.
    ~InstallCheckManager() override;

    // How reading the manifest went: a missing manifest is an empty list,
    // an unreadable one (or one without its item array) is a fault.
    enum class ManifestState { Read, Missing, Unreadable };
    ManifestState manifestState() const { return m_manifestState; }
    // What was wrong with the manifest when it is not Read, in English.
    const QString& manifestError() const { return m_manifestError; }

    // Runs the check; YES when every item is in order. Otherwise the check
    // window is up (runSelfRepair) and the launch waits for the user.
    bool checkForRequiredItems();

    // The check window belongs to the window system, which is loaded when
    // first needed: the window system installs the function that shows it.
    using CheckWindow = void (InstallCheckManager::*)();
    static void setCheckWindow(CheckWindow show);

    // Re-evaluates every item from scratch.
    void updateStatus();

    // One evaluator per item type; each sets the status at `index`.
    void updateRequiredItemStatusCoreApp(const QVariantMap& item, int32_t index);
    void updateRequiredItemStatusFramework(const QVariantMap& item, int32_t index);
    void updateRequiredItemStatusBundle(const QVariantMap& item, int32_t index);
    void updateRequiredItemStatusTool(const QVariantMap& item, int32_t index);
    void updateRequiredItemStatusToolRoot(const QVariantMap& item, int32_t index);
    void updateRequiredItemStatusFinderCM(const QVariantMap& item, int32_t index);
    void updateRequiredItemStatusFinderOverlayInsert(const QVariantMap& item, int32_t index);

    // The carried core application has mode 0755 exactly (owner not examined).
    bool verifyCoreAppPermissions(const QVariantMap& item);
    // The installed tool is owned by "root" with mode 0755 exactly.
    bool verifyQBToolPermissions(const QVariantMap& item);

    // The item's "Resource", "Installer" or "Signature" inside the launcher's
    // resources folder; "" when the item lacks the key.
    QString pathToRequiredItemInResources(const QVariantMap& item) const;
    QString pathToRequiredItemInstallerInResources(const QVariantMap& item) const;
    QString pathToRequiredItemSignatureInResources(const QVariantMap& item) const;

    // The status words, as stored: their localised texts.
    static QString statusOK();
    static QString statusMissing();
    static QString statusOldVersion();
    static QString statusInvalid();
    static QString statusWrongPermissions();
    static QString statusNotRequired();

    // What the last updateStatus found.
    const QVariantList& items() const { return requiredItemsList; }
    const QStringList& statuses() const { return requiredItemsStatusList; }
    int32_t repairsRequired() const { return numberRepairsRequired; }
    int32_t itemsMissing() const { return numberItemsMissing; }
    bool macFuseRepairRequired() const { return m_MacFuseRepairRequired; }
    bool helperRepairRequired() const { return m_HelperRepairRequired; }
    // Per item, as the last updateStatus found it: why it is not in order, in
    // English for people ("mode 0775, wants 0755"; "" when in order), and the
    // path examined for it ("" when none).
    const QStringList& reasons() const { return m_reasons; }
    const QStringList& examinedPaths() const { return m_examinedPaths; }

    // ---- The check window (InstallCheckManager+CheckActions.cpp) ----

    // Loads the check window and connects the elements below, once; the
    // window is otherwise loaded when it is first shown.
    void loadInterface();
    // Titles and texts, once the interface is loaded.
    void awakeFromNib();
    // Puts the explanation of the last findings into the window and brings it up.
    void runSelfRepair();
    QString repairExplanation() const;
    // "Continue": the progress sheet goes up and a repair thread starts.
    void installButtonClick(QObject* sender);
    // The quit button: ends the process at once with status 0.
    [[noreturn]] void dontInstallButtonClick(QObject* sender);
    // Closing the check window ends the application.
    void windowWillClose(QWidget* window);
    void sheetDidEnd(QDialog* sheet, int returnCode, void* contextInfo);
    // Main thread, after a successful run: check again; start the core when
    // everything is in order, else the window returns with new text.
    void bringWindowBackToFront();
    // Main thread, after a failed run: the failure alert on the window.
    void repairFailed();
    // Checks again and starts the core; without that, an alert on the window.
    // True when the core was started.
    bool runQuorbel();

    // What starts the core: the application delegate hands over its launchCore.
    void setLaunchCoreFunction(std::function<void()> launchCore);
    // The pause after each pass of a repair run (2 s).
    void setRepairPause(std::chrono::milliseconds pause);
    // How long a repair run lasts before the progress sheet offers to stop
    // the running tool (30 s).
    void setStopButtonDelay(std::chrono::milliseconds delay);

    // The window's elements, connected when the interface loads; all null
    // before that and without a window system.
    QDialog* repairProgressWindow = nullptr;
    QProgressBar* repairProgressIndicator = nullptr;
    QLabel* repairProgressText = nullptr;
    QPushButton* repairStopButton = nullptr;
    QWidget* checkWindow = nullptr;
    QuorbelHeaderView* checkHeaderView = nullptr;
    QLabel* checkText = nullptr;
    QPushButton* checkInstall = nullptr;
    QPushButton* checkDontInstall = nullptr;

    // ---- The repair run (InstallCheckManager+Repair.cpp) ----

    // The items and their statuses as the last check left them, copied for
    // the repair thread so that it shares nothing with the main thread.
    struct RepairRun {
        QVariantList items;
        QStringList statuses;
    };
    // The body of the repair thread. Hands back by queued calls only.
    void runSelfRepairThread(const RepairRun& run);
    // The items and statuses as the last check left them.
    RepairRun repairRunForLastCheck() const;
    // Told of every repair a run attempts: the item, its status when the run
    // started, and whether the repair succeeded.
    using RepairProgress = std::function<void(const QVariantMap& item, const QString& status, bool succeeded)>;
    // A whole repair run on the calling thread, as the check window starts
    // it: the update tool first, then every item not in order in manifest
    // order, stopping at the first failure; after success the pause that
    // lets the tools settle. YES when the run succeeded.
    bool performRepairRun(const RepairRun& run, const RepairProgress& progress = {});
    // One repair each; YES on success. `status` is the item's status text.
    bool repairUpdateQB(const QVariantMap& item);
    bool repairCoreApp(const QVariantMap& item, const QString& status);
    bool repairQBTool(const QVariantMap& item, const QString& status);
    bool repairQBToolRoot(const QVariantMap& item, const QString& status);
    bool repairFramework(const QVariantMap& item, const QString& status);
    bool repairBundle(const QVariantMap& item, const QString& status);
    bool repairZIPArchiveItem(const QVariantMap& item, const QString& status);

    // ---- 10.5 on Intel (InstallCheckManager+IntelFixes105.cpp) ----
    bool areIntel_10_5FixesRequired();
    bool installIntel_10_5_Fixes();

    // ---- Version rules (InstallCheckManager+Version.cpp) ----
    // Outs are left alone when an answer is NO.

    // The three-part "CFBundleShortVersionString" of the item's installed
    // bundle ("InstallPath"/Contents/Info.plist) or framework
    // ("InstallPath"/Versions/Current/Resources/Info.plist).
    static bool getBundleVersion(const QVariantMap& item, int32_t* major, int32_t* minor, int32_t* bugfix);
    static bool getFrameworkVersion(const QVariantMap& item, int32_t* major, int32_t* minor, int32_t* bugfix);
    // Exactly three "."-separated parts, each read as an integer.
    static bool parseVersionString(const QString& version, int32_t* major, int32_t* minor, int32_t* bugfix);
    // Whether the installed version is at least the item's "Version".
    static bool checkFrameworkVersion(const QVariantMap& item, int32_t major, int32_t minor, int32_t bugfix);
    // Whether this system needs the item under its "MaxMacOSX" / "MinMacOSX"
    // word; an item without the word, or an unknown system version, needs it.
    static bool checkMaxMacOSXVersion(const QVariantMap& item);
    static bool checkMinMacOSXVersion(const QVariantMap& item);
    static bool getMacOSXVersion(int32_t* major, int32_t* minor, int32_t* bugfix);
    // This launcher's version with its build, "1.19.0 (5)".
    static QString getMacClientVersionAsString();
    static void getVersionFromString(const QString& version, int32_t* major, int32_t* minor, int32_t* build,
                                     int32_t* revision);
    static void getMacClientVersion(int32_t* major, int32_t* minor, int32_t* build, int32_t* revision);
    // Runs the item's installed tool, which prints its version, and answers
    // whether its major or minor version is behind this launcher's. A tool
    // that cannot be run, does not finish within the tool time-out or prints
    // without end needs an update.
    static bool doesToolNeedUpdate(const QVariantMap& item);
    // `reason`, when given, is told why an update is needed.
    static bool doesToolNeedUpdate(const QVariantMap& item, const QString& clientVersion, QString* reason = nullptr);
    // The same for an installed bundle's short version; an unreadable one needs an update.
    static bool doesBundleNeedUpdate(const QVariantMap& item);
    static bool doesBundleNeedUpdate(const QVariantMap& item, const QString& clientVersion, QString* reason = nullptr);
    // How long a tool may take to print its version (10 s).
    static void setToolVersionTimeout(std::chrono::milliseconds timeout);

    // ---- end of version rules ----

private:
    void readManifest();
    void setStatus(int32_t index, const QString& status, const QString& reason = {});
    void setExamined(int32_t index, const QString& path);
    void updateFinderPlugInStatus(const QVariantMap& item, int32_t index, bool requiredOnThisSystem);
    // Records a helper's status (core permissions, tools, Finder plug-ins);
    // one not in order counts for both counters. A null status keeps "OK".
    void recordHelperStatus(int32_t index, const QString& status, const QString& reason);
    void logInstalledSubject(const QVariantMap& item);
    bool installedItemExists(const QVariantMap& item);
    // Shows the check window through the window system; without one, says
    // so and ends the application.
    void showCheckWindow();
    class WindowEvents;
    // Reads, in one batch, the Info.plists that the items from `first` on
    // will read, up to the next tool (running a tool may change what is
    // installed); the version rules take them from there while the status
    // update runs. Returns where the batch ends.
    int32_t readAheadInfoPlists(int32_t first);
    void endReadAhead();
    void connectActions();
    void waitForUser();
    void endProgressSheet();

    using ItemRepair = bool (InstallCheckManager::*)(const QVariantMap&, const QString&);
    void startRepairThread();
    bool repairEverything(const RepairRun& run, const RepairProgress& progress);
    bool repairUpdateTools(const RepairRun& run, const RepairProgress& progress);
    bool repairItems(const RepairRun& run, const RepairProgress& progress);
    ItemRepair repairFor(const QVariantMap& item, const QString& status) const;
    void pauseBetweenPasses() const;
    // Sends repairFailed to the main thread without waiting.
    void _repairFailed();

    platform::Bundle bundle;

    std::unique_ptr<QWidget> m_checkWindowOwner;
    std::function<void()> m_launchCore;
    std::chrono::milliseconds m_repairPause{2000};
    std::chrono::milliseconds m_stopButtonDelay{30000};
    QTimer* m_stopButtonTimer = nullptr;
    std::atomic<int> m_repairThreadsRunning{0};
    // The progress sheet is up for a run: it must stay until the run hands back.
    bool m_progressSheetUp = false;

    ManifestState m_manifestState = ManifestState::Missing;
    QString m_manifestError;
    QVariantMap requiredItems;
    QVariantList requiredItemsList;
    QStringList requiredItemsStatusList;
    QStringList m_reasons;
    QStringList m_examinedPaths;
    QHash<QString, QVariantMap> m_readAhead;
    bool m_MacFuseRepairRequired = false;
    bool m_HelperRepairRequired = false;
    int32_t numberRepairsRequired = 0;
    int32_t numberItemsMissing = 0;
};
