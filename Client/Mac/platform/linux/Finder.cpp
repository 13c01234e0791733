#include "Finder.h"

#include "SystemLocations.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QProcess>

#include <optional>
#include <unistd.h>

namespace platform::finder {
namespace {

struct CommandLine {
    QString program;
    QStringList arguments;
    QString workingFolder;
};

QMutex gRestartLock;
QList<CommandLine> gToRestart;

// Whether the process belongs to the user this process runs for.
bool ownedByThisUser(const QString& procEntry)
{
    return QFileInfo(procEntry).ownerId() == ::getuid();
}

std::optional<CommandLine> commandLineOf(qint64 pid)
{
    const QString proc = QStringLiteral("/proc/%1").arg(pid);
    QFile file(proc + QStringLiteral("/cmdline"));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QList<QByteArray> words = file.readAll().split('\0');
    if (!words.isEmpty() && words.last().isEmpty())
        words.removeLast();
    QString executable = QFile::symLinkTarget(proc + QStringLiteral("/exe"));
    executable.remove(QStringLiteral(" (deleted)"));
    if (executable.isEmpty() || words.isEmpty())
        return std::nullopt;
    CommandLine command{executable, {}, QFile::symLinkTarget(proc + QStringLiteral("/cwd"))};
    for (qsizetype i = 1; i < words.size(); ++i)
        command.arguments.append(QFile::decodeName(words.at(i)));
    return command;
}

bool desktopFileManagersApply()
{
    // A scratch system tree is a world of its own: the desktop's processes are not part of it.
    return locations::systemRoot().isEmpty() && !QFileInfo(applicationPath()).isDir();
}

} // namespace

QString bundleIdentifier()
{
    return QStringLiteral("com.apple.finder");
}

QString applicationPath()
{
    return locations::systemPath(QStringLiteral("/System/Library/CoreServices/Finder.app"));
}

bool isApplicationPath(const QString& path)
{
    return !path.isEmpty() && QDir::cleanPath(path) == QDir::cleanPath(applicationPath());
}

QStringList fileManagerNames()
{
    return {QStringLiteral("nautilus"),   QStringLiteral("nemo"),    QStringLiteral("caja"),
            QStringLiteral("thunar"),     QStringLiteral("Thunar"),  QStringLiteral("pcmanfm"),
            QStringLiteral("pcmanfm-qt"), QStringLiteral("dolphin"), QStringLiteral("spacefm")};
}

QList<RunningApplication> runningFileManagers()
{
    QList<RunningApplication> found;
    if (!desktopFileManagersApply())
        return found;
    const QStringList names = fileManagerNames();
    const QDir proc(QStringLiteral("/proc"));
    for (const QString& entry : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid || !ownedByThisUser(proc.filePath(entry)))
            continue;
        QString executable = QFile::symLinkTarget(proc.filePath(entry + QStringLiteral("/exe")));
        executable.remove(QStringLiteral(" (deleted)"));
        if (executable.isEmpty() || !names.contains(QFileInfo(executable).fileName()))
            continue;
        RunningApplication app;
        app.bundleIdentifier = bundleIdentifier();
        app.bundlePath = applicationPath();
        app.executablePath = executable;
        app.pid = pid;
        found.append(app);
    }
    return found;
}

void rememberForRestart(qint64 pid)
{
    const std::optional<CommandLine> command = commandLineOf(pid);
    if (!command)
        return;
    QMutexLocker lock(&gRestartLock);
    gToRestart.append(*command);
}

int fileManagersAwaitingRestart()
{
    QMutexLocker lock(&gRestartLock);
    return int(gToRestart.size());
}

bool restartRememberedFileManagers()
{
    QList<CommandLine> commands;
    {
        QMutexLocker lock(&gRestartLock);
        commands.swap(gToRestart);
    }
    bool allStarted = true;
    for (const CommandLine& command : commands)
        allStarted = QProcess::startDetached(command.program, command.arguments, command.workingFolder) && allStarted;
    return allStarted;
}

} // namespace platform::finder
