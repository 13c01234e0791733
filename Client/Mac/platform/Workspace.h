#pragma once
// The desktop workspace: running applications, launching, the Trash.

#include <QList>
#include <QString>
#include <QVariantMap>

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

QList<RunningApplication> launchedApplications();
// Starts an application bundle or an executable inside one, detached from
// this process. Answers whether the process could be started.
bool launchApplication(const QString& path);
// Moves an item to the user's Trash.
bool recycle(const QString& path, QString* error = nullptr);

} // namespace workspace
} // namespace platform
