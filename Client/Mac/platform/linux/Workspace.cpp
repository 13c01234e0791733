#include "Workspace.h"

#include "Bundle.h"
#include "Finder.h"
#include "SystemLocations.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <mutex>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <vector>

extern char** environ;

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

// Children started detached, reaped once they end: the launcher ends
// moments after starting one and the system adopts it, but a process that
// lives on must not collect zombies.
std::mutex gStartedLock;
std::vector<pid_t> gStarted;

void reapEndedChildren()
{
    std::lock_guard lock(gStartedLock);
    std::erase_if(gStarted, [](pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) != 0; });
}

// In a session of its own, from its own folder, with the default signal
// mask and SIGPIPE back to its default. A spawn rather than a fork: copying
// this process's address space only to replace it costs more than the rest
// of the start. Exec failures are reported (glibc's posix_spawn waits for
// the exec).
bool startDetached(const QString& executable)
{
    reapEndedChildren();
    const QByteArray program = QFile::encodeName(executable);
    const QByteArray folder = QFile::encodeName(QFileInfo(executable).absolutePath());
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (::posix_spawn_file_actions_init(&actions) != 0)
        return false;
    if (::posix_spawnattr_init(&attributes) != 0) {
        ::posix_spawn_file_actions_destroy(&actions);
        return false;
    }
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    pid_t pid = 0;
    char* const arguments[] = {const_cast<char*>(program.constData()), nullptr};
    const bool started = ::posix_spawn_file_actions_addchdir_np(&actions, folder.constData()) == 0
                         && ::posix_spawnattr_setsigmask(&attributes, &none) == 0
                         && ::posix_spawnattr_setsigdefault(&attributes, &defaults) == 0
                         && ::posix_spawnattr_setflags(&attributes,
                                                       POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF)
                                == 0
                         && ::posix_spawn(&pid, program.constData(), &actions, &attributes, arguments, environ) == 0;
    ::posix_spawnattr_destroy(&attributes);
    ::posix_spawn_file_actions_destroy(&actions);
    if (started) {
        std::lock_guard lock(gStartedLock);
        gStarted.push_back(pid);
    }
    return started;
}

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
    return startDetached(executable);
}

} // namespace workspace
} // namespace platform
