#include "StringsTable.h"

#include <QStringDecoder>

namespace platform {
namespace {

QString decode(const QByteArray& bytes, QString* error)
{
    auto encoding = QStringConverter::encodingForData(bytes);
    QStringDecoder decoder(encoding.value_or(QStringConverter::Utf8), QStringDecoder::Flag::Stateless);
    QString text = decoder(bytes);
    if (decoder.hasError() && error)
        *error = QStringLiteral("the file is not valid UTF-8 or UTF-16");
    if (!text.isEmpty() && text.front() == QChar(0xFEFF))
        text.remove(0, 1);
    return decoder.hasError() ? QString() : text;
}

bool isBareWordChar(QChar c)
{
    return c.isLetterOrNumber() || c == u'_' || c == u'.' || c == u'$' || c == u':' || c == u'/' || c == u'-';
}

class Parser {
public:
    explicit Parser(const QString& text) : m_text(text) {}

    std::optional<StringsTable> parse(QString* error)
    {
        StringsTable table;
        while (skipSpaceAndComments()) {
            QString key, value;
            if (!readToken(key))
                return fail(error, QStringLiteral("expected a quoted key"));
            skipSpaceAndComments();
            if (peek() == u'=') {
                ++m_pos;
                skipSpaceAndComments();
                if (!readToken(value))
                    return fail(error, QStringLiteral("expected a value after '='"));
                skipSpaceAndComments();
            } else {
                value = key;
            }
            if (peek() != u';')
                return fail(error, QStringLiteral("expected ';'"));
            ++m_pos;
            table.insert(key, value);
        }
        if (!m_error.isEmpty())
            return fail(error, m_error);
        return table;
    }

private:
    QChar peek(qsizetype ahead = 0) const { return m_pos + ahead < m_text.size() ? m_text.at(m_pos + ahead) : QChar(); }

    std::optional<StringsTable> fail(QString* error, const QString& what) const
    {
        if (error) {
            const qsizetype end = std::min(m_pos, m_text.size());
            const int line = 1 + int(QStringView(m_text).left(end).count(u'\n'));
            *error = QStringLiteral("line %1: %2").arg(line).arg(what);
        }
        return std::nullopt;
    }

    // Skips blanks and comments; answers whether anything is left.
    bool skipSpaceAndComments()
    {
        for (;;) {
            while (m_pos < m_text.size() && m_text.at(m_pos).isSpace())
                ++m_pos;
            if (peek() == u'/' && peek(1) == u'*') {
                const qsizetype end = m_text.indexOf(QStringLiteral("*/"), m_pos + 2);
                if (end < 0) {
                    m_error = QStringLiteral("unterminated comment");
                    m_pos = m_text.size();
                    return false;
                }
                m_pos = end + 2;
            } else if (peek() == u'/' && peek(1) == u'/') {
                while (m_pos < m_text.size() && m_text.at(m_pos) != u'\n')
                    ++m_pos;
            } else {
                return m_pos < m_text.size();
            }
        }
    }

    bool readToken(QString& out)
    {
        if (peek() == u'"')
            return readQuoted(out);
        const qsizetype start = m_pos;
        while (m_pos < m_text.size() && isBareWordChar(m_text.at(m_pos)))
            ++m_pos;
        out = m_text.mid(start, m_pos - start);
        return !out.isEmpty();
    }

    bool readHex(int digits, char16_t& out)
    {
        out = 0;
        for (int i = 0; i < digits; ++i, ++m_pos) {
            const char16_t c = peek().unicode();
            int digit = -1;
            if (c >= '0' && c <= '9')
                digit = c - '0';
            else if (c >= 'a' && c <= 'f')
                digit = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                digit = c - 'A' + 10;
            if (digit < 0)
                return false;
            out = char16_t(out * 16 + digit);
        }
        return true;
    }

    bool readEscape(QString& out)
    {
        const QChar c = peek();
        ++m_pos;
        switch (c.unicode()) {
        case 'n':
            out += u'\n';
            return true;
        case 't':
            out += u'\t';
            return true;
        case 'r':
            out += u'\r';
            return true;
        case 'a':
            out += QChar(7);
            return true;
        case 'b':
            out += QChar(8);
            return true;
        case 'f':
            out += QChar(12);
            return true;
        case 'v':
            out += QChar(11);
            return true;
        case 'U':
        case 'u': {
            char16_t unit = 0;
            if (!readHex(4, unit))
                return false;
            out += QChar(unit);
            return true;
        }
        default:
            if (c >= u'0' && c <= u'7') {
                int value = c.unicode() - '0';
                for (int i = 0; i < 2 && peek() >= u'0' && peek() <= u'7'; ++i, ++m_pos)
                    value = value * 8 + (peek().unicode() - '0');
                out += QChar(char16_t(value));
                return true;
            }
            if (c.isNull())
                return false;
            out += c; // \" \\ \' and any other character stand for themselves
            return true;
        }
    }

    bool readQuoted(QString& out)
    {
        ++m_pos;                 // opening quote
        out = QLatin1String(""); // "" is an empty text, not a missing one
        while (m_pos < m_text.size()) {
            const QChar c = m_text.at(m_pos++);
            if (c == u'"')
                return true;
            if (c == u'\\') {
                if (!readEscape(out))
                    return false;
            } else {
                out += c;
            }
        }
        return false; // unterminated
    }

    const QString& m_text;
    qsizetype m_pos = 0;
    QString m_error;
};

} // namespace

std::optional<StringsTable> parseStringsTable(const QByteArray& bytes, QString* error)
{
    QString decodeError;
    const QString text = decode(bytes, &decodeError);
    if (!decodeError.isEmpty()) {
        if (error)
            *error = decodeError;
        return std::nullopt;
    }
    return Parser(text).parse(error);
}

} // namespace platform
