#pragma once
// One-level JSON records: a flat dictionary of strings, numbers and booleans
// written as one line, and a forgiving scanner that reads it back. Records
// written by earlier versions of the client live in users' keyrings, so both
// formats are fixed, quirks included: the reader restarts at every "{", skips
// an "e" inside a number without applying an exponent and wants at least one
// character after a final true or false.
//
// Depends on Qt Core only, so that the fuzz target can build it alone.

#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <optional>

class JSONEncoder {
public:
    JSONEncoder() = delete;

    // The escape table applied in one pass: backslash, quotation mark,
    // solidus, backspace, form feed, line feed, carriage return, tab.
    static QString stringByAddingJSONEscape(const QString& text);
    // The inverse; a backslash before any other character is kept as it is.
    static QString stringByReplacingJSONEscape(const QString& text);

    // "{" + "\"key\":value" pairs joined by "," + "}". Strings are escaped,
    // booleans become true/false, other numbers their decimal text, anything
    // else the empty string. Keys are written as they are.
    static QString createJSONStrFromDict(const QVariantMap& dictionary);

    // The dictionary of the text, or nothing when the text is rejected.
    // Numbers read as qint64 (no point) or double (with a point), booleans
    // as bool.
    static std::optional<QVariantMap> createObjFromJSONStr(const QString& text);

    // Scanner steps. `position` counts UTF-16 units; for a string it stands
    // just after the opening quotation mark, for a number on its first
    // character. Both leave it after what they consumed.
    static std::optional<QString> jsonStringForStr(const QString& text, quint64& position, bool& error);
    static std::optional<QVariant> jsonNumberForStr(const QString& text, quint64& position, bool& error);
};
