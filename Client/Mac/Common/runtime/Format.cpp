#include "Format.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

TextBuffer::~TextBuffer()
{
    std::free(m_data);
}

void TextBuffer::grow(size_t count)
{
    const size_t capacity = std::max({m_capacity * 2, m_size + count, size_t{256}});
    char* data = static_cast<char*>(std::realloc(m_data, capacity));
    if (!data)
        throw std::bad_alloc();
    m_data = data;
    m_capacity = capacity;
}

namespace format_detail {

// Exactly as QString::toUtf8 writes it: an unpaired surrogate becomes '?'.
void appendUtf8(TextBuffer& out, QStringView text)
{
    char* const start = out.extend(size_t(text.size()) * 3);
    auto* dst = reinterpret_cast<unsigned char*>(start);
    const char16_t* src = text.utf16();
    const char16_t* const end = src + text.size();
    while (src < end) {
        // Runs of ASCII, the usual text, copied without the cases below.
        while (src < end && *src < 0x80)
            *dst++ = static_cast<unsigned char>(*src++);
        if (src == end)
            break;
        const char32_t unit = *src++;
        if (unit < 0x80) {
            *dst++ = static_cast<unsigned char>(unit);
        } else if (unit < 0x800) {
            *dst++ = static_cast<unsigned char>(0xC0 | (unit >> 6));
            *dst++ = static_cast<unsigned char>(0x80 | (unit & 0x3F));
        } else if (unit < 0xD800 || unit > 0xDFFF) {
            *dst++ = static_cast<unsigned char>(0xE0 | (unit >> 12));
            *dst++ = static_cast<unsigned char>(0x80 | ((unit >> 6) & 0x3F));
            *dst++ = static_cast<unsigned char>(0x80 | (unit & 0x3F));
        } else if (unit < 0xDC00 && src < end && *src >= 0xDC00 && *src <= 0xDFFF) {
            const char32_t point = 0x10000 + ((unit - 0xD800) << 10) + (char32_t(*src++) - 0xDC00);
            *dst++ = static_cast<unsigned char>(0xF0 | (point >> 18));
            *dst++ = static_cast<unsigned char>(0x80 | ((point >> 12) & 0x3F));
            *dst++ = static_cast<unsigned char>(0x80 | ((point >> 6) & 0x3F));
            *dst++ = static_cast<unsigned char>(0x80 | (point & 0x3F));
        } else {
            *dst++ = '?';
        }
    }
    out.truncate(size_t(reinterpret_cast<char*>(dst) - out.data()));
}

bool appendArg(TextBuffer& out, QStringView value)
{
    if (!value.isEmpty() && value.back().isHighSurrogate())
        return false;
    appendUtf8(out, value);
    return true;
}

bool appendArg(TextBuffer& out, const QString& value)
{
    return appendArg(out, QStringView(value));
}

namespace {
// Bytes that QString::fromUtf8 then toUtf8 give back unchanged: ASCII
// without NUL. Anything else takes Qt's own round trip. Eight at a time.
bool isPlainAscii(const char* bytes, size_t size)
{
    constexpr uint64_t kHighBits = 0x8080808080808080u;
    constexpr uint64_t kLowBits = 0x0101010101010101u;
    uint64_t found = 0;
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t word;
        std::memcpy(&word, bytes + i, 8);
        found |= word | ((word - kLowBits) & ~word);
    }
    for (; i < size; ++i)
        found |= bytes[i] == 0 ? 0x80 : static_cast<unsigned char>(bytes[i]);
    return (found & kHighBits) == 0;
}
} // namespace

bool appendArg(TextBuffer& out, const char* value)
{
    if (!value)
        value = "(null)";
    const size_t size = std::strlen(value);
    if (isPlainAscii(value, size))
        out.append(value, size);
    else
        appendUtf8(out, toArg(value));
    return true;
}

bool appendArg(TextBuffer& out, const QByteArray& value)
{
    if (isPlainAscii(value.constData(), size_t(value.size())))
        out.append(value.constData(), size_t(value.size()));
    else
        appendUtf8(out, toArg(value));
    return true;
}

bool appendArg(TextBuffer& out, QChar value)
{
    if (value.isSurrogate())
        return false;
    appendUtf8(out, QStringView(&value, 1));
    return true;
}

bool appendArg(TextBuffer& out, double value)
{
    appendUtf8(out, toArg(value));
    return true;
}

// "00".."99": numbers are written two digits at a time.
constexpr auto kDigitPairs = [] {
    std::array<char, 200> pairs{};
    for (int i = 0; i < 100; ++i) {
        pairs[size_t(2 * i)] = char('0' + i / 10);
        pairs[size_t(2 * i + 1)] = char('0' + i % 10);
    }
    return pairs;
}();

void appendUnsigned(TextBuffer& out, unsigned long long value)
{
    char digits[20];
    char* first = digits + sizeof digits;
    for (; value >= 100; value /= 100) {
        first -= 2;
        std::memcpy(first, &kDigitPairs[size_t(value % 100) * 2], 2);
    }
    if (value >= 10) {
        first -= 2;
        std::memcpy(first, &kDigitPairs[size_t(value) * 2], 2);
    } else {
        *--first = char('0' + value);
    }
    out.append(first, size_t(digits + sizeof digits - first));
}

void appendSigned(TextBuffer& out, long long value)
{
    if (value < 0)
        out.append('-');
    // The magnitude in unsigned arithmetic, which also holds that of the lowest value.
    appendUnsigned(out, value < 0 ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value));
}

bool appendPlanned(TextBuffer& out, const FormatPlan& plan, const char* format, const ArgRef* args, int count)
{
    if (!plan.ascii || plan.length == 0 || count > 9)
        return false;
    if (count == 0) { // qbFormat leaves such a format as it is
        out.append(format, plan.length);
        return true;
    }
    if (!plan.plain || plan.placeholders != (1u << (count + 1)) - 2)
        return false;
    for (int i = 0; i < plan.pieceCount; ++i) {
        const FormatPlan::Piece& piece = plan.pieces[i];
        if (piece.argument < 0)
            out.append(format + piece.offset, piece.length);
        else if (!args[piece.argument].append(out, args[piece.argument].value))
            return false;
    }
    return true;
}

} // namespace format_detail

QString formatWithPlatformDirectives(const QString& format, const QStringList& arguments)
{
    QString out;
    qsizetype next = 0;
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format.at(i);
        if (c != u'%' || i + 1 >= format.size()) {
            out += c;
            continue;
        }
        qsizetype j = i + 1;
        if (format.at(j) == u'%') {
            out += u'%';
            i = j;
            continue;
        }
        // Optional position "n$".
        qsizetype index = -1;
        qsizetype k = j;
        while (k < format.size() && format.at(k).isDigit())
            ++k;
        if (k > j && k < format.size() && format.at(k) == u'$') {
            index = QStringView(format).mid(j, k - j).toLongLong() - 1;
            j = k + 1;
        }
        // Length modifiers, then the conversion.
        while (j < format.size() && (format.at(j) == u'l' || format.at(j) == u'h' || format.at(j) == u'q'))
            ++j;
        if (j >= format.size()) {
            out += QStringView(format).mid(i);
            break;
        }
        const QChar conversion = format.at(j);
        if (!QStringLiteral("@dDiuUsSxXcf").contains(conversion)) {
            out += QStringView(format).mid(i, j - i + 1);
            i = j;
            continue;
        }
        if (index < 0)
            index = next++;
        if (index < 0 || index >= arguments.size())
            return QString();
        out += arguments.at(index);
        i = j;
    }
    return out;
}

int32_t intValue(QStringView text)
{
    qsizetype i = 0;
    while (i < text.size() && text.at(i).isSpace())
        ++i;
    bool negative = false;
    if (i < text.size() && (text.at(i) == u'+' || text.at(i) == u'-')) {
        negative = text.at(i) == u'-';
        ++i;
    }
    int64_t value = 0;
    for (; i < text.size() && text.at(i) >= u'0' && text.at(i) <= u'9'; ++i) {
        value = value * 10 + (text.at(i).unicode() - '0');
        if (value > int64_t(std::numeric_limits<int32_t>::max()) + 1)
            value = int64_t(std::numeric_limits<int32_t>::max()) + 1;
    }
    if (negative)
        return int32_t(std::max<int64_t>(-value, std::numeric_limits<int32_t>::min()));
    return int32_t(std::min<int64_t>(value, std::numeric_limits<int32_t>::max()));
}
