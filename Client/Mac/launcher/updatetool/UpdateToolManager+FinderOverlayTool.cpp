// The Finder overlay tool: a second executable in the tool folder, run directly.

#include "UpdateToolManager.h"

#include "Authorization.h"
#include "FileManager.h"
#include "Logging.h"

#include <QProcess>

#include <unistd.h>

namespace {

const QString kFinderOverlayToolName = QStringLiteral("finderoverlaytool");

} // namespace

int32_t UpdateToolManager::insertFinderOverlayBundle()
{
    m_status = kStatusRepairNotSucceeded;
    const int32_t result = runFinderOverlayTool({QStringLiteral("insertfinderoverlay")}, true);
    if (result == kResultSuccess)
        m_status = kStatusOK;
    return result;
}

int32_t UpdateToolManager::runFinderOverlayTool(const QStringList& arguments, bool waitUntilExit)
{
    const QString path = toolFolderPath(kFinderOverlayToolName);
    logVerbose("Running FinderOverlayTool \"%1\"...", path);
    QProcess task;
    task.setProgram(path);
    task.setArguments(arguments);
    task.setProcessChannelMode(QProcess::ForwardedChannels);
    task.setInputChannelMode(QProcess::ForwardedInputChannel);
    // A tool that cannot be started is a failed run, not the end of the launcher.
    bool succeeded = false;
    QString why;
    if (::geteuid() == 0 && platform::files::attributesOfItem(path) && !platform::isSafeToExecuteAsRoot(path, &why)) {
        // As root, never a file that someone else could have changed.
        logError("Not running \"%1\" as root (%2)", path, why);
    } else if (waitUntilExit) {
        task.start();
        if (task.waitForStarted(-1)) {
            task.waitForFinished(-1);
            succeeded = task.exitStatus() == QProcess::NormalExit && task.exitCode() == 0;
        }
    } else {
        succeeded = task.startDetached();
    }
    if (!succeeded) {
        logVerbose("FinderOverlayTool \"%1\" did fail", path);
        return kResultFailed;
    }
    logVerbose("FinderOverlayTool \"%1\" did succeed", path);
    return kResultSuccess;
}
