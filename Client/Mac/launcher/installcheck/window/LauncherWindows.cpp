#include "LauncherWindows.h"

#include "InstallCheckManager.h"
#include "MoveProgressWindow.h"
#include "SystemWindows.h"

#include <QtGlobal>

void installLauncherWindows()
{
    platform::windowsystem::install(platform::systemWindowParts());
    InstallCheckManager::setCheckWindow(&InstallCheckManager::runSelfRepair);
    PFSetCopyProgressWindow(&makeMoveProgressWindow);
}

// What the launcher calls after loading the module.
extern "C" Q_DECL_EXPORT void quorbelWindowSystemEntry()
{
    installLauncherWindows();
}
