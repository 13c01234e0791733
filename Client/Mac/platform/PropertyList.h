#pragma once
// Property lists (XML and binary) as Qt values: dictionaries are QVariantMap,
// arrays QVariantList, strings QString (a NUL is kept as data), integers
// qint64 (quint64 from 2^63 up), reals double, booleans bool, data
// QByteArray, dates QDateTime.
//
// Every reader treats its input as hostile: files are opened without
// blocking, must be regular files of at most kMaxPropertyListFileSize bytes,
// and arrays and dictionaries may nest at most kMaxPropertyListDepth deep.
// A refused file is reported like an unreadable one.

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace platform {

constexpr qint64 kMaxPropertyListFileSize = 4 * 1024 * 1024;
constexpr int kMaxPropertyListDepth = 512;

// Whether a reader follows a symbolic link that is the file itself (links
// in the folders above it are always followed).
enum class FinalLink { NotFollowed, Followed };

// Parses XML or binary property-list bytes. On failure returns an invalid
// QVariant and, when asked, says why in `error`.
QVariant propertyListFromData(const QByteArray& data, QString* error = nullptr);

// Reads a property-list file; a missing or unreadable file or malformed
// contents give an invalid QVariant and a reason in `error`.
QVariant readPropertyList(const QString& path, QString* error = nullptr, FinalLink link = FinalLink::NotFollowed);

// Reads a file whose root must be a dictionary; anything else gives an empty
// map and a reason in `error`.
QVariantMap readPropertyListDictionary(const QString& path, QString* error = nullptr,
                                       FinalLink link = FinalLink::NotFollowed);

// Reads each file as readPropertyListDictionary does, in the order given
// (and each reason in `errors` when asked, "" for a file that was read);
// where the system allows it, the files of a batch are opened, read and
// closed together, with far fewer calls into the system than one file at a
// time.
QList<QVariantMap> readPropertyListDictionaries(const QStringList& paths, QStringList* errors = nullptr,
                                                FinalLink link = FinalLink::NotFollowed);

QByteArray propertyListToXml(const QVariant& value);

// Writes an XML property list atomically: a new file beside it, every byte
// written and synced, then renamed over it. On any failure the old file stays
// as it was. A symbolic link at `path` is kept and its target replaced.
bool writePropertyList(const QString& path, const QVariant& value, QString* error = nullptr);

} // namespace platform
