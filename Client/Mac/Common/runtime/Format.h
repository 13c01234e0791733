#pragma once
// Message formatting: "%1"-style formats filled from strings and numbers in a
// single pass (an argument that itself holds "%2" stays as it is), as a
// QString or, for log lines, straight into UTF-8 bytes; and the platform's own
// "%@"/"%d" formats used by strings tables.

#include <QString>
#include <QStringList>

#include <concepts>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

// Bytes appended to inline: a log line takes a dozen appends, and each would
// otherwise be a call into the C++ library.
class TextBuffer {
public:
    TextBuffer() = default;
    TextBuffer(TextBuffer&& other) noexcept
        : m_data(std::exchange(other.m_data, nullptr)), m_size(std::exchange(other.m_size, 0)),
          m_capacity(std::exchange(other.m_capacity, 0))
    {
    }
    TextBuffer& operator=(TextBuffer&& other) noexcept
    {
        std::swap(m_data, other.m_data);
        std::swap(m_size, other.m_size);
        std::swap(m_capacity, other.m_capacity);
        return *this;
    }
    ~TextBuffer();

    const char* data() const { return m_data; }
    size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    char back() const { return m_data[m_size - 1]; }
    void clear() { m_size = 0; }
    // Drops the bytes past `size`.
    void truncate(size_t size) { m_size = size < m_size ? size : m_size; }
    // Room for `count` more bytes, counted in the size: where they go.
    char* extend(size_t count)
    {
        if (count > m_capacity - m_size)
            grow(count);
        char* at = m_data + m_size;
        m_size += count;
        return at;
    }
    void append(const char* bytes, size_t count) { std::memcpy(extend(count), bytes, count); }
    void append(char c) { *extend(1) = c; }

private:
    void grow(size_t count);
    char* m_data = nullptr;
    size_t m_size = 0;
    size_t m_capacity = 0;
};

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

// The same texts in UTF-8, appended to a byte buffer without a QString of
// their own: exactly the bytes toUtf8() gives for what toArg answers. False
// when only that QString can give them (a text that ends in half of a
// surrogate pair, which the next argument could complete).
void appendUtf8(TextBuffer& out, QStringView text);
bool appendArg(TextBuffer& out, const QString& value);
bool appendArg(TextBuffer& out, QStringView value);
bool appendArg(TextBuffer& out, const char* value);
bool appendArg(TextBuffer& out, const QByteArray& value);
bool appendArg(TextBuffer& out, QChar value);
bool appendArg(TextBuffer& out, double value);
void appendSigned(TextBuffer& out, long long value);
void appendUnsigned(TextBuffer& out, unsigned long long value);
template <std::integral T>
bool appendArg(TextBuffer& out, T value)
{
    if constexpr (std::is_same_v<T, bool>)
        out.append(value ? "YES" : "NO", value ? 3 : 2);
    else if constexpr (std::is_signed_v<T>)
        appendSigned(out, value);
    else
        appendUnsigned(out, value);
    return true;
}

struct ArgRef {
    bool (*append)(TextBuffer& out, const void* value);
    const void* value;
};
template <typename T>
bool appendArgAt(TextBuffer& out, const void* value)
{
    return appendArg(out, *static_cast<const T*>(value));
}

} // namespace format_detail

// A format string read once, when compiling: its literal runs and
// placeholders, and whether filling it byte for byte in UTF-8 gives
// qbFormat's bytes. That holds for an ASCII format whose placeholders are
// "%1".."%9"; Qt reads "%L1", "%0", "%10" and digits of other scripts in ways
// of its own, so those formats (and very long ones) take qbFormat's QString.
struct FormatPlan {
    struct Piece {
        uint16_t offset = 0;
        uint16_t length = 0;
        int8_t argument = -1; // -1: literal text
    };
    static constexpr int kMaxPieces = 16;
    bool ascii = true; // up to the first NUL, where qbFormat stops too
    bool plain = true; // placeholders only "%1".."%9", in at most kMaxPieces pieces
    bool endsInNewline = false;
    uint16_t length = 0;
    unsigned placeholders = 0; // bit n set: "%n" occurs
    int pieceCount = 0;
    Piece pieces[kMaxPieces] = {};
};

template <size_t N>
constexpr FormatPlan planFormat(const char (&format)[N])
{
    FormatPlan plan;
    size_t length = 0;
    while (length < N && format[length] != '\0')
        ++length;
    plan.ascii = length <= 0xFFFF;
    plan.length = uint16_t(plan.ascii ? length : 0);
    plan.endsInNewline = length > 0 && format[length - 1] == '\n';
    const auto add = [&plan](size_t offset, size_t size, int argument) {
        if (plan.pieceCount == FormatPlan::kMaxPieces) {
            plan.plain = false;
            return;
        }
        plan.pieces[plan.pieceCount++] = {uint16_t(offset), uint16_t(size), int8_t(argument)};
    };
    size_t literal = 0;
    for (size_t i = 0; i < length; ++i) {
        const char c = format[i];
        const char next = i + 1 < length ? format[i + 1] : '\0';
        const char after = i + 2 < length ? format[i + 2] : '\0';
        if (static_cast<unsigned char>(c) >= 0x80)
            plan.ascii = false;
        if (c != '%')
            continue;
        if (next == 'L' || next == '0')
            plan.plain = false;
        if (next < '1' || next > '9')
            continue;
        if ((after >= '0' && after <= '9') || static_cast<unsigned char>(after) >= 0x80)
            plan.plain = false;
        if (i > literal)
            add(literal, i - literal, -1);
        add(i, 0, next - '0' - 1);
        plan.placeholders |= 1u << (next - '0');
        literal = i + 2;
        ++i;
    }
    if (length > literal)
        add(literal, length - literal, -1);
    return plan;
}

namespace format_detail {
bool appendPlanned(TextBuffer& out, const FormatPlan& plan, const char* format, const ArgRef* args, int count);
}

// Appends qbFormat(format, args...) to `out` in UTF-8 without building the
// QString, where `plan` (of `format`) shows that this gives the same bytes.
// False otherwise, and then `out` may hold a partial text.
template <typename... Args>
bool appendPlanned(TextBuffer& out, const FormatPlan& plan, const char* format, const Args&... args)
{
    const format_detail::ArgRef refs[] = {{&format_detail::appendArgAt<Args>, &args}..., {nullptr, nullptr}};
    return format_detail::appendPlanned(out, plan, format, refs, int(sizeof...(Args)));
}

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
