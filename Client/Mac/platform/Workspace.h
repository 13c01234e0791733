#pragma once
// The desktop workspace: running applications, launching, the Trash.

#include <QList>
#include <QString>
#include <QVariantMap>

#include <cstdint>

namespace platform {

// One running process whose executable lies inside an application bundle.
struct RunningApplication {
    QString bundleIdentifier;
    QString bundlePath;
    QString executablePath;
    qint64 pid = 0;

    // The dictionary form: "NSApplicationBundleIdentifier", "NSApplicationPath",
    // "NSApplicationName", "NSApplicationProcessIdentifier".
    QVariantMap toDictionary() const;
};

namespace workspace {

// The answer of quitApplication when no application has the identifier.
inline constexpr int32_t procNotFound = -600;

QList<RunningApplication> launchedApplications();
// Asks the application with this bundle identifier to quit, without waiting:
// every process of it is sent SIGTERM. Answers 0, procNotFound when none
// runs, or the error number of a signal that could not be sent.
int32_t quitApplication(const QString& bundleIdentifier);
// Starts an application bundle or an executable inside one, detached from
// this process. Answers whether the process could be started. Finder's
// identifier and path have their own meaning here (Finder.h).
bool launchApplication(const QString& path);
// Moves an item to the user's Trash.
bool recycle(const QString& path, QString* error = nullptr);
// The same for a process with administrator rights moving what a user may
// change: each folder on the way is opened without following a link, the
// item must still be the folder of `device` and `inode`, and it is renamed
// through its opened folder into a Trash on the same file system (never
// copied, so never read or removed by path).
bool recycleExactly(const QString& path, quint64 device, quint64 inode, QString* error = nullptr);

} // namespace workspace
} // namespace platform
