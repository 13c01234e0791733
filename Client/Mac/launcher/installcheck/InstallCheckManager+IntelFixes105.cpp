// Extra fixes that systems 10.5 on Intel processors need after every repair run.

#include "InstallCheckManager.h"

#include "Logging.h"
#include "SystemVersion.h"
#include "UpdateToolManager.h"

bool InstallCheckManager::areIntel_10_5FixesRequired()
{
    int32_t major = 0;
    int32_t minor = 0;
    int32_t bugfix = 0;
    if (!getMacOSXVersion(&major, &minor, &bugfix) || major != 10 || minor != 5)
        return false;
    int32_t architecture = 0;
    using namespace platform::gestalt;
    return Gestalt(gestaltSysArchitecture, &architecture) == noErr && architecture == gestaltIntel;
}

bool InstallCheckManager::installIntel_10_5_Fixes()
{
    logNormal("Installing the fixes for 10.5 on Intel...");
    const QString resources = bundle.resourcePath();
    return UpdateToolManager::sharedManager().repairIntel10_5(resources + QStringLiteral("/Fixes10_5.zip"),
                                                              resources + QStringLiteral("/Fixes10_5.plist"))
           == UpdateToolManager::kResultSuccess;
}
