#pragma once
// The archive a user sends to support: the launcher's log files, the core's
// log, the installation check as JSON and the settings with every secret
// value replaced. Nothing is taken from the keyring.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace SupportArchive {

// Each file contributes at most its last 10 MiB, the archive at most 64 MiB.
inline constexpr qint64 kArchiveFileLimit = 10 * 1024 * 1024;
inline constexpr qint64 kArchiveTotalLimit = 64 * 1024 * 1024;

// Whether the value of the settings key `key` never leaves the machine: the
// family's own secret keys, and any key whose name speaks of a password, a
// secret, a token or key material, in any letter case.
bool isSecretKey(const QString& key);
// `settings` with the value of every secret key replaced by "<redacted>", in
// every dictionary at any depth (the top level and each "UserList" record),
// and inside <data> values that hold a property list themselves.
QVariant redacted(const QVariant& settings);

struct Contents {
    QString logFolder;   // the launcher's log files
    QString productName; // their names begin with it
    QString coreLog;     // the core's log file
    QString settingsFile;
    QByteArray checkJson;
    // One more owner accepted for the log folders besides this process's user
    // (the owner of a home named for support work); -1: none.
    long logOwner = -1;
};

// Writes the archive to `path`, created new; false with the reason when the
// archive cannot be made. Parts that are absent, unreadable, reached through
// a link or another user's folder, or past the size limit are left out and
// named in `skipped`.
bool write(const QString& path, const Contents& contents, QString* error, QStringList* skipped);

} // namespace SupportArchive
