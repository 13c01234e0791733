#pragma once
// Message formatting: "%1"-style formats filled from strings and numbers in a
// single pass (an argument that itself holds "%2" stays as it is), and the
// platform's own "%@"/"%d" formats used by strings tables.

#include <QString>
#include <QStringList>

#include <concepts>
#include <cstdint>
#include <type_traits>

namespace format_detail {

inline QString toArg(const QString& value)
{
    return value;
}
inline QString toArg(QStringView value)
{
    return value.toString();
}
inline QString toArg(const char* value)
{
    return QString::fromUtf8(value ? value : "(null)");
}
inline QString toArg(const QByteArray& value)
{
    return QString::fromUtf8(value);
}
inline QString toArg(QChar value)
{
    return QString(value);
}
inline QString toArg(double value)
{
    return QString::number(value);
}
template <std::integral T>
QString toArg(T value)
{
    if constexpr (std::is_same_v<T, bool>)
        return value ? QStringLiteral("YES") : QStringLiteral("NO");
    else
        return QString::number(value);
}

} // namespace format_detail

// Fills "%1".."%99" of `format` with the arguments.
template <typename... Args>
QString qbFormat(const QString& format, const Args&... args)
{
    if constexpr (sizeof...(Args) == 0)
        return format;
    else
        return format.arg(format_detail::toArg(args)...);
}

// The same for a UTF-8 format.
template <typename... Args>
QString qbFormat(const char* format, const Args&... args)
{
    return qbFormat(QString::fromUtf8(format), args...);
}

// Fills a format written in the platform's own style ("%@", "%d", "%ld",
// "%s", "%%", positional "%2$@") with already converted arguments. Answers a
// null string when the format asks for an argument that is not there.
QString formatWithPlatformDirectives(const QString& format, const QStringList& arguments);

// The platform's intValue: leading blanks skipped, optional sign, decimal
// digits up to the first other character; 0 without digits; saturates at the
// 32-bit limits.
int32_t intValue(QStringView text);
