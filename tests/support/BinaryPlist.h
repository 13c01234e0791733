#pragma once
// Binary property lists built byte by byte, for what no writer produces:
// cycles, shared objects, strings holding NUL. Two-byte references; object 0
// is the root.

#include <QByteArray>
#include <QList>
#include <QString>

namespace testing_support {

inline QByteArray bigEndian(quint64 value, int bytes)
{
    QByteArray out;
    for (int i = bytes - 1; i >= 0; --i)
        out.append(char((value >> (8 * i)) & 0xff));
    return out;
}

inline QByteArray ref(int object)
{
    return bigEndian(quint64(object), 2);
}

// An object header of `type` with `count` (a length or an entry count), then `refs`.
inline QByteArray container(char type, int count, const QByteArray& refs)
{
    QByteArray out;
    if (count < 15)
        out.append(char((type << 4) | count));
    else
        out += QByteArray(1, char((type << 4) | 0x0f)) + '\x11' + bigEndian(quint64(count), 2);
    return out + refs;
}

inline QByteArray utf16(const QString& text)
{
    QByteArray out;
    for (const QChar c : text)
        out += bigEndian(c.unicode(), 2);
    return out;
}

// A UTF-16 string object: the only kind of string that may hold a NUL.
inline QByteArray utf16String(const QString& text)
{
    return container(0x6, int(text.size()), utf16(text));
}

// A one-byte string object.
inline QByteArray asciiString(const QByteArray& text)
{
    return container(0x5, int(text.size()), text);
}

inline QByteArray binaryPlist(const QList<QByteArray>& objects)
{
    QByteArray out = "bplist00";
    QByteArray table;
    for (const QByteArray& object : objects) {
        table += bigEndian(quint64(out.size()), 4);
        out += object;
    }
    const auto tableOffset = quint64(out.size());
    out += table + QByteArray(6, '\0') + char(4) + char(2) + bigEndian(quint64(objects.size()), 8) + bigEndian(0, 8)
           + bigEndian(tableOffset, 8);
    return out;
}

} // namespace testing_support
