#pragma once
// The archive a user sends to support: the launcher's log files, the core's
// log, the installation check as JSON and the settings with every secret
// value replaced. Nothing is taken from the keyring.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace SupportArchive {

// The settings keys whose values never leave the machine.
const QStringList& secretKeys();
// `settings` with the value of every secret key replaced by "<redacted>", in
// every dictionary at any depth (the top level and each "UserList" record).
QVariant redacted(const QVariant& settings);

struct Contents {
    QString logFolder;   // the launcher's log files
    QString productName; // their names begin with it
    QString coreLog;     // the core's log file
    QString settingsFile;
    QByteArray checkJson;
};

// Writes the archive to `path`, created new; false with the reason when the
// archive cannot be made. Parts that are absent or unreadable are left out
// and named in `skipped`.
bool write(const QString& path, const Contents& contents, QString* error, QStringList* skipped);

} // namespace SupportArchive
