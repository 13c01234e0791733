#pragma once
// The installation check: evaluates every item of the required-items manifest
// against the machine and records one status text per item, two counters and
// two flags. Both counters 0 means the core application may start.

#include "Bundle.h"

#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <chrono>
#include <cstdint>

class InstallCheckManager {
public:
    // The manager of the running launcher: manifest and resources of the main bundle.
    static InstallCheckManager& sharedManager();
    // A manager for the manifest "RequiredItems.plist" in `bundle`'s resources, read once.
    explicit InstallCheckManager(const platform::Bundle& bundle);
    InstallCheckManager(const InstallCheckManager&) = delete;
    InstallCheckManager& operator=(const InstallCheckManager&) = delete;

    // Runs the check; YES when every item is in order. Otherwise the launch
    // does not go on to the core.
    bool checkForRequiredItems();

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
    static bool doesToolNeedUpdate(const QVariantMap& item, const QString& clientVersion);
    // The same for an installed bundle's short version; an unreadable one needs an update.
    static bool doesBundleNeedUpdate(const QVariantMap& item);
    static bool doesBundleNeedUpdate(const QVariantMap& item, const QString& clientVersion);
    // How long a tool may take to print its version (10 s).
    static void setToolVersionTimeout(std::chrono::milliseconds timeout);

    // ---- end of version rules ----

private:
    void readManifest();
    void setStatus(int32_t index, const QString& status);
    // Records a helper's status (core permissions, tools, Finder plug-ins);
    // one not in order counts for both counters. A null status keeps "OK".
    void recordHelperStatus(int32_t index, const QString& status);
    void logInstalledSubject(const QVariantMap& item);
    bool installedItemExists(const QVariantMap& item);
    // Until the check window exists a failed check ends the launch.
    void runSelfRepair();

    platform::Bundle bundle;

    // The check window's outlets (repairProgressWindow, repairProgressIndicator,
    // repairProgressText, checkWindow, checkHeaderView, checkText,
    // checkInstall, checkDontInstall) come first here once the window exists.

    QVariantMap requiredItems;
    QVariantList requiredItemsList;
    QStringList requiredItemsStatusList;
    bool m_MacFuseRepairRequired = false;
    bool m_HelperRepairRequired = false;
    int32_t numberRepairsRequired = 0;
    int32_t numberItemsMissing = 0;
};
