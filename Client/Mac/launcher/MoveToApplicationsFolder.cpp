#include "MoveToApplicationsFolder.h"

#include "Bundle.h"
#include "Logging.h"
#include "SystemLocations.h"
#include "UserDefaults.h"

#include <QMutex>

namespace {
QMutex gStateLock;
QString gAltDstBundleName;
QStringList gAlsoRemoveBundlePaths;
} // namespace

void PFAltDstBundleName(const QString& name)
{
    QMutexLocker lock(&gStateLock);
    gAltDstBundleName = name;
}

void PFAlsoRemoveBundles(const QStringList& paths)
{
    QMutexLocker lock(&gStateLock);
    gAlsoRemoveBundlePaths = paths;
}

void PFMoveToApplicationsFolderIfNecessary()
{
    // Interim: only the decision; the offer and the move arrive with their own work.
    if (platform::UserDefaults::standardUserDefaults().boolForKey(QStringLiteral("moveToApplicationsFolderAlertSuppress")))
        return;
    const QString path = platform::Bundle::mainBundle().bundlePath();
    for (const QString& folder : platform::locations::allApplicationsFolders()) {
        if (path.startsWith(folder))
            return;
    }
    if (path.split(u'/').contains(QStringLiteral("Applications")))
        return;
    logVerbose("Not offering to move \"%1\": the move is not available yet", path);
}
