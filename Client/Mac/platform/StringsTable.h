#pragma once
// The text form of a localised strings table:
//   /* comment */  "key" = "value";   // comment
// UTF-8, or UTF-16 with a byte-order mark. Keys and values are quoted strings
// with C-style escapes (\n \t \" \\ \Uxxxx and octal) or bare words.

#include <QByteArray>
#include <QHash>
#include <QString>
#include <optional>

namespace platform {

using StringsTable = QHash<QString, QString>;

// Parses a whole table; on a syntax error returns nothing and describes the
// error (with its line) in `error`.
std::optional<StringsTable> parseStringsTable(const QByteArray& bytes, QString* error = nullptr);

} // namespace platform
