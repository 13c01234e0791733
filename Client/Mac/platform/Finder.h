#pragma once
// Finder, the system's file browser, as the workspace sees it: its bundle
// identifier and application path, which the launcher quits and launches to
// make the file browser load newly installed extensions.
//
// Linux has no Finder. Here Finder's identifier and path stand for the
// desktop's file manager, decided in this order:
// 1. A bundle at Finder's path (under the system root) is Finder, like any
//    other application bundle: quitting signals its processes, launching
//    starts its executable. Whole-run checks use this with a scratch tree.
// 2. Otherwise, on the real system (no scratch system root), the running
//    file managers of this user (see fileManagerNames) are Finder's
//    processes. Quitting Finder sends them SIGTERM and remembers their
//    command lines; launching Finder starts those command lines again.
// 3. When no file manager was quit there is nothing to restart: launching
//    Finder starts nothing and succeeds. Desktop file managers start on
//    demand and load extensions when they next start, so a desktop where
//    none runs (or a machine without a desktop) is already in the state a
//    Finder restart produces. Launching fails only when something that
//    should start cannot.

#include "Workspace.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace platform::finder {

// "com.apple.finder"
QString bundleIdentifier();
// "/System/Library/CoreServices/Finder.app" under the system root.
QString applicationPath();
bool isApplicationPath(const QString& path);

// Executable names taken for the desktop's file manager.
QStringList fileManagerNames();

// For the workspace. The running file managers of this user, reported with
// Finder's identifier and path (none under a scratch system root or when a
// Finder bundle exists).
QList<RunningApplication> runningFileManagers();
// Remembers the command line of a file manager being asked to quit.
void rememberForRestart(qint64 pid);
// How many remembered file managers a launch of Finder would start.
int fileManagersAwaitingRestart();
// Starts the remembered file managers again, detached, and forgets them.
// True when every one started (so also when there were none).
bool restartRememberedFileManagers();

} // namespace platform::finder
