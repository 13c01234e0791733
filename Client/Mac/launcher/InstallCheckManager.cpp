#include "InstallCheckManager.h"

#include "Application.h"
#include "Bundle.h"
#include "Logging.h"
#include "PropertyList.h"

#include <QMutex>

InstallCheckManager& InstallCheckManager::sharedManager()
{
    static QMutex lock;
    QMutexLocker locker(&lock);
    static InstallCheckManager* shared = new InstallCheckManager;
    return *shared;
}

InstallCheckManager::InstallCheckManager()
{
    const QString path = platform::Bundle::mainBundle().pathForResource(QStringLiteral("RequiredItems"), QStringLiteral("plist"));
    requiredItems = platform::readPropertyListDictionary(path);
    requiredItemsList = requiredItems.value(QStringLiteral("RequiredItems")).toList();
}

bool InstallCheckManager::checkForRequiredItems()
{
    // Interim: item evaluation arrives with the required-items check.
    if (requiredItemsList.isEmpty())
        return true;
    logError("The installation check cannot evaluate %1 required items yet; not starting the core",
             requiredItemsList.size());
    platform::application::terminate();
    return false;
}
