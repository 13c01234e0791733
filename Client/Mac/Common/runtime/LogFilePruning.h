#pragma once
// Keeping the log folder bounded, at the user's choice: the user-defaults key
// "LogFilesToKeep" (an integer, unset by default) keeps only the newest N
// log files, newest by the time stamp in their names. Only regular files
// whose names have the log-file form are ever removed, links are never
// followed, and the file in use is never removed.

#include <QByteArray>
#include <QList>
#include <QString>

inline constexpr const char* kLogFilesToKeep = "LogFilesToKeep";

// "<product>-yyyy-MM-dd-HHmmss.log", or with "-<n>" before ".log" for a later
// file of the same second.
bool isLogFileName(const QString& name, const QString& productName);

// The names of the regular files in the open folder (links not followed)
// that have the log-file form, oldest first. The names are the folder's bytes, exact.
QList<QByteArray> logFileNames(int folderFd, const QString& productName);

// Removes from `folder` all log files but the newest `keep`, never the one
// named `inUse`. Answers the names removed; `error` says why nothing could
// be examined (a link or another user's folder on the way, or unreadable).
QList<QByteArray> pruneLogFiles(const QString& folder, const QString& productName, int keep, const QByteArray& inUse,
                                QString* error = nullptr);

// Reads "LogFilesToKeep" from the standard user defaults and prunes the
// folder of `logFilePath` (the file in use, named after `productName`);
// nothing when the key is unset or logging has no file.
void pruneLogFilesIfAsked(const QString& logFilePath, const QString& productName);
