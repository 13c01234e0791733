#include "Workspace.h"

#include "Bundle.h"
#include "Finder.h"
#include "SystemLocations.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <cerrno>
#include <csignal>
#include <sys/types.h>

namespace platform {

QVariantMap RunningApplication::toDictionary() const
{
    return {
        {QStringLiteral("NSApplicationBundleIdentifier"), bundleIdentifier},
        {QStringLiteral("NSApplicationPath"), bundlePath},
        {QStringLiteral("NSApplicationName"), QFileInfo(bundlePath).completeBaseName()},
        {QStringLiteral("NSApplicationProcessIdentifier"), pid},
    };
}

namespace workspace {
namespace {

// ".../X.app/Contents/MacOS/exe" -> ".../X.app"; "" for other executables.
QString bundleOfExecutable(const QString& executable)
{
    const qsizetype at = executable.lastIndexOf(QStringLiteral(".app/Contents/MacOS/"));
    return at < 0 ? QString() : executable.left(at + 4);
}

} // namespace

QList<RunningApplication> launchedApplications()
{
    QList<RunningApplication> applications;
    const QDir proc(QStringLiteral("/proc"));
    for (const QString& entry : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid)
            continue;
        QString executable = QFile::symLinkTarget(proc.filePath(entry + QStringLiteral("/exe")));
        executable.remove(QStringLiteral(" (deleted)"));
        const QString bundlePath = bundleOfExecutable(executable);
        if (bundlePath.isEmpty())
            continue;
        RunningApplication app;
        app.pid = pid;
        app.executablePath = executable;
        app.bundlePath = bundlePath;
        app.bundleIdentifier = Bundle(bundlePath).bundleIdentifier();
        applications.append(app);
    }
    applications += finder::runningFileManagers();
    return applications;
}

int32_t quitApplication(const QString& bundleIdentifier)
{
    if (bundleIdentifier.isEmpty())
        return procNotFound;
    int32_t status = procNotFound;
    for (const RunningApplication& app : launchedApplications()) {
        if (app.bundleIdentifier != bundleIdentifier)
            continue;
        const bool isFileManager = !app.executablePath.startsWith(app.bundlePath + u'/');
        if (isFileManager)
            finder::rememberForRestart(app.pid);
        if (::kill(pid_t(app.pid), SIGTERM) == 0)
            status = status == procNotFound ? 0 : status;
        else if (errno != ESRCH) // one that ended meanwhile needs no asking
            status = errno;
    }
    return status;
}

bool launchApplication(const QString& path)
{
    // Finder's path without a Finder bundle means the desktop's file manager (Finder.h).
    if (finder::isApplicationPath(path) && !QFileInfo(path).isDir())
        return finder::restartRememberedFileManagers();
    QString executable = path;
    if (QFileInfo(path).isDir())
        executable = Bundle(path).executablePath();
    if (!QFileInfo(executable).isExecutable())
        return false;
    return QProcess::startDetached(executable, {}, QFileInfo(executable).absolutePath());
}

} // namespace workspace
} // namespace platform
