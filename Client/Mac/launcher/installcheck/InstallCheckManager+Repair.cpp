// The repair run: on its own thread, every item that is not in order is
// repaired through the update tool, the tool itself first. The thread reads a
// copy of the items and statuses taken when the run started, touches no
// window, and hands back to the main thread only by queued calls.

#include "InstallCheckManager.h"

#include "Exception.h"
#include "KeyConstants.h"
#include "Logging.h"
#include "UpdateToolManager.h"

#include <thread>

namespace {

const QString kUpdateToolName = QStringLiteral("updateqb");

QString stringValue(const QVariantMap& item, const QString& key)
{
    return item.value(key).toString();
}

bool isUpdateTool(const QVariantMap& item)
{
    return stringValue(item, kName) == kUpdateToolName;
}

bool hasInstaller(const QVariantMap& item)
{
    return !stringValue(item, kInstaller).isEmpty();
}

bool isMissingOrOld(const QString& status)
{
    return status == InstallCheckManager::statusMissing() || status == InstallCheckManager::statusOldVersion();
}

bool succeeded(int32_t result)
{
    return result == UpdateToolManager::kResultSuccess;
}

} // namespace

// ---- The run ----

InstallCheckManager::RepairRun InstallCheckManager::repairRunForLastCheck() const
{
    return RepairRun{requiredItemsList, requiredItemsStatusList};
}

bool InstallCheckManager::performRepairRun(const RepairRun& run, const RepairProgress& progress)
{
    logNormal("Repair run started");
    UpdateToolManager::sharedManager().clearLastRefusal();
    bool repaired = false;
    try {
        repaired = repairEverything(run, progress);
    } catch (const std::exception& exception) {
        // Nothing may escape the run (on the window's side a detached thread): a fault is a failed run.
        logError("Repair run ended by an exception (%1)", QString::fromLocal8Bit(exception.what()));
    }
    if (!repaired) {
        logNormal("Repair run failed");
        return false;
    }
    logNormal("Repair run succeeded");
    pauseBetweenPasses();
    return true;
}

bool InstallCheckManager::repairEverything(const RepairRun& run, const RepairProgress& progress)
{
    if (!repairUpdateTools(run, progress))
        return false;
    pauseBetweenPasses();
    if (!repairItems(run, progress))
        return false;
    return !areIntel_10_5FixesRequired() || installIntel_10_5_Fixes();
}

void InstallCheckManager::pauseBetweenPasses() const
{
    std::this_thread::sleep_for(m_repairPause);
}

bool InstallCheckManager::repairUpdateTools(const RepairRun& run, const RepairProgress& progress)
{
    for (qsizetype index = 0; index < run.items.size(); ++index) {
        const QVariantMap item = run.items.at(index).toMap();
        if (!isUpdateTool(item))
            continue;
        const bool repaired = repairUpdateQB(item);
        if (progress)
            progress(item, run.statuses.value(index), repaired);
        if (!repaired)
            return false;
    }
    return true;
}

// The repair an item gets in the second pass; null when it is passed over.
InstallCheckManager::ItemRepair InstallCheckManager::repairFor(const QVariantMap& item, const QString& status) const
{
    const QString type = stringValue(item, kInstallType);
    const bool notNeeded = status == statusOK();
    const bool notNeededOrNotRequired = notNeeded || status == statusNotRequired();
    if (type == QLatin1String("CoreApp"))
        return notNeeded ? nullptr : &InstallCheckManager::repairCoreApp;
    if (type == QLatin1String("QBTool") && !isUpdateTool(item))
        return notNeeded ? nullptr : &InstallCheckManager::repairQBTool;
    if (notNeededOrNotRequired)
        return nullptr;
    if (type == QLatin1String("FinderCM") || type == QLatin1String("FinderOverlayInsert"))
        return &InstallCheckManager::repairZIPArchiveItem;
    if (type == QLatin1String("QBToolRoot") && !isUpdateTool(item))
        return &InstallCheckManager::repairQBToolRoot;
    if (type == QLatin1String("Framework") && hasInstaller(item))
        return &InstallCheckManager::repairFramework;
    if (type == QLatin1String("Bundle") && hasInstaller(item))
        return &InstallCheckManager::repairBundle;
    return nullptr;
}

bool InstallCheckManager::repairItems(const RepairRun& run, const RepairProgress& progress)
{
    for (qsizetype index = 0; index < run.items.size(); ++index) {
        const QVariantMap item = run.items.at(index).toMap();
        const QString status = run.statuses.value(index);
        const ItemRepair repair = repairFor(item, status);
        if (!repair)
            continue;
        logNormal("Repairing %1 \"%2\" (%3)...", stringValue(item, kInstallType), stringValue(item, kName), status);
        const bool repaired = (this->*repair)(item, status);
        if (progress)
            progress(item, status, repaired);
        if (!repaired) {
            logError("Repair of %1 \"%2\" failed; the run stops here", stringValue(item, kInstallType),
                     stringValue(item, kName));
            return false;
        }
    }
    return true;
}

// ---- One repair per item type ----

bool InstallCheckManager::repairUpdateQB(const QVariantMap& item)
{
    UpdateToolManager& tool = UpdateToolManager::sharedManager();
    logNormal("Repairing the update tool \"%1\"...", stringValue(item, kName));
    tool.verifyUpdateTool(stringValue(item, kName));
    return succeeded(tool.repairUpdateTool(pathToRequiredItemInResources(item), pathToRequiredItemSignatureInResources(item)));
}

bool InstallCheckManager::repairCoreApp(const QVariantMap& item, const QString& status)
{
    if (status != statusWrongPermissions())
        return true;
    return succeeded(UpdateToolManager::sharedManager().repairCoreAppPermissions(pathToRequiredItemInResources(item)));
}

bool InstallCheckManager::repairQBTool(const QVariantMap& item, const QString& status)
{
    UpdateToolManager& tool = UpdateToolManager::sharedManager();
    if (isMissingOrOld(status))
        return succeeded(tool.repairQBTool(pathToRequiredItemInResources(item), pathToRequiredItemSignatureInResources(item)));
    if (status == statusWrongPermissions())
        return succeeded(tool.repairQBToolPermissions(stringValue(item, kName)));
    return false;
}

bool InstallCheckManager::repairQBToolRoot(const QVariantMap& item, const QString& status)
{
    UpdateToolManager& tool = UpdateToolManager::sharedManager();
    if (isMissingOrOld(status))
        return succeeded(
            tool.repairQBToolRoot(pathToRequiredItemInResources(item), pathToRequiredItemSignatureInResources(item)));
    if (status == statusWrongPermissions())
        return succeeded(tool.repairQBToolRootPermissions(stringValue(item, kName)));
    return false;
}

bool InstallCheckManager::repairFramework(const QVariantMap& item, const QString& status)
{
    if (!isMissingOrOld(status))
        return false;
    return succeeded(
        UpdateToolManager::sharedManager().repairFrameworkUsingPackage(pathToRequiredItemInstallerInResources(item)));
}

bool InstallCheckManager::repairBundle(const QVariantMap& item, const QString& status)
{
    if (!isMissingOrOld(status))
        return false;
    return succeeded(
        UpdateToolManager::sharedManager().repairBundleUsingPackage(pathToRequiredItemInstallerInResources(item)));
}

bool InstallCheckManager::repairZIPArchiveItem(const QVariantMap& item, const QString& status)
{
    if (!isMissingOrOld(status))
        return true;
    return succeeded(UpdateToolManager::sharedManager().repairZIPArchive(
        pathToRequiredItemInResources(item), pathToRequiredItemSignatureInResources(item), stringValue(item, kInstallPath)));
}
