#pragma once
// Property lists (XML and binary) as Qt values: dictionaries are QVariantMap,
// arrays QVariantList, strings QString, integers qint64, reals double,
// booleans bool, data QByteArray, dates QDateTime.

#include <QString>
#include <QVariant>

namespace platform {

// Parses XML or binary property-list bytes. On failure returns an invalid
// QVariant and, when asked, says why in `error`.
QVariant propertyListFromData(const QByteArray& data, QString* error = nullptr);

// Reads a property-list file; a missing or unreadable file or malformed
// contents give an invalid QVariant and a reason in `error`.
QVariant readPropertyList(const QString& path, QString* error = nullptr);

// Reads a file whose root must be a dictionary; anything else gives an empty
// map and a reason in `error`.
QVariantMap readPropertyListDictionary(const QString& path, QString* error = nullptr);

QByteArray propertyListToXml(const QVariant& value);

// Writes an XML property list atomically (new file, then rename).
bool writePropertyList(const QString& path, const QVariant& value, QString* error = nullptr);

} // namespace platform
