#pragma once
// Readable Qt values in test failure messages.

#include <QRect>
#include <QString>
#include <QStringList>

#include <ostream>

inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

inline void PrintTo(const QStringList& list, std::ostream* out)
{
    *out << '{';
    for (qsizetype i = 0; i < list.size(); ++i)
        *out << (i ? ", \"" : "\"") << list.at(i).toStdString() << '"';
    *out << '}';
}

inline std::ostream& operator<<(std::ostream& out, const QRect& rect)
{
    return out << rect.width() << 'x' << rect.height() << '+' << rect.x() << '+' << rect.y();
}
