#include "JSONEncoder.h"

#include <QLocale>

#include <cmath>
#include <map>

namespace {

// The escape letter of a character that the table escapes, or 0.
char16_t escapeLetterFor(char16_t c)
{
    switch (c) {
    case u'\\':
        return u'\\';
    case u'"':
        return u'"';
    case u'/':
        return u'/';
    case u'\b':
        return u'b';
    case u'\f':
        return u'f';
    case u'\n':
        return u'n';
    case u'\r':
        return u'r';
    case u'\t':
        return u't';
    default:
        return 0;
    }
}

// The character an escape letter stands for, or 0 for a letter outside the table.
char16_t characterForEscapeLetter(char16_t letter)
{
    switch (letter) {
    case u'\\':
        return u'\\';
    case u'"':
        return u'"';
    case u'/':
        return u'/';
    case u'b':
        return u'\b';
    case u'f':
        return u'\f';
    case u'n':
        return u'\n';
    case u'r':
        return u'\r';
    case u't':
        return u'\t';
    default:
        return 0;
    }
}

bool isAsciiDigit(QChar c)
{
    return c.unicode() >= u'0' && c.unicode() <= u'9';
}

bool isBooleanType(int typeId)
{
    // A number made from a BOOL carries the char type code.
    return typeId == QMetaType::Bool || typeId == QMetaType::Char || typeId == QMetaType::SChar;
}

bool isNumberType(int typeId)
{
    switch (typeId) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::UChar:
    case QMetaType::Double:
    case QMetaType::Float:
        return true;
    default:
        return false;
    }
}

QString numberText(const QVariant& value)
{
    switch (value.typeId()) {
    case QMetaType::Double:
    case QMetaType::Float:
        return QString::number(value.toDouble(), 'g', QLocale::FloatingPointShortest);
    case QMetaType::ULong:
    case QMetaType::ULongLong:
        return QString::number(value.toULongLong());
    default:
        return QString::number(value.toLongLong());
    }
}

// Appends `text` with the escape table applied; runs of characters that need
// no escape go in whole. One pass gives the same text as replacing row by
// row: no row's escape produces a character that a later row replaces.
void appendEscaped(QString& out, QStringView text)
{
    const qsizetype length = text.size();
    qsizetype runStart = 0;
    for (qsizetype i = 0; i < length; ++i) {
        const char16_t letter = escapeLetterFor(text[i].unicode());
        if (!letter)
            continue;
        out.append(text.mid(runStart, i - runStart));
        out += u'\\';
        out += QChar(letter);
        runStart = i + 1;
    }
    out.append(text.mid(runStart));
}

void appendValue(QString& json, const QVariant& value)
{
    const int typeId = value.typeId();
    if (typeId == QMetaType::QString) {
        json += u'"';
        appendEscaped(json, *static_cast<const QString*>(value.constData()));
        json += u'"';
    } else if (isBooleanType(typeId)) {
        json += value.toBool() ? QLatin1String("true") : QLatin1String("false");
    } else if (isNumberType(typeId)) {
        json += numberText(value);
    } else {
        json += QLatin1String("\"\"");
    }
}

enum class Step { Continue, Answer, Reject };

// The record reader: one pass over the UTF-16 units, acting on each
// character and storing a pair as soon as both halves are pending.
class RecordScanner {
public:
    explicit RecordScanner(const QString& text) : m_text(text), m_length(quint64(text.size())) {}
    std::optional<QVariantMap> scan();

private:
    Step onCharacter(QChar c);
    Step onOpenBrace();
    Step onQuotationMark();
    Step onComma();
    Step onColon();
    Step onNumber();
    Step onWord(quint64 needed, QLatin1String word, bool valueWhenEqual);
    void storePendingPair();

    const QString& m_text;
    const quint64 m_length;
    // Filled as a standard map, which takes keys and values by moving them,
    // and handed over whole as the record.
    std::optional<std::map<QString, QVariant>> m_result;
    std::optional<QString> m_key;
    std::optional<QVariant> m_value;
    bool m_expectKey = false;
    bool m_error = false;
    quint64 m_position = 0;
};

std::optional<QVariantMap> RecordScanner::scan()
{
    if (m_length == 0)
        return std::nullopt;
    for (;;) {
        const QChar c = m_text.at(qsizetype(m_position++));
        const Step step = onCharacter(c);
        if (step == Step::Answer)
            return m_result ? std::optional<QVariantMap>(QVariantMap(std::move(*m_result))) : std::nullopt;
        if (step == Step::Reject)
            return std::nullopt;
        storePendingPair();
        if (m_position >= m_length || m_error)
            return std::nullopt;
    }
}

Step RecordScanner::onCharacter(QChar c)
{
    switch (c.unicode()) {
    case u'{':
        return onOpenBrace();
    case u'}':
        return Step::Answer;
    case u'"':
        return onQuotationMark();
    case u',':
        return onComma();
    case u':':
        return onColon();
    case u't':
    case u'T':
        return onWord(5, QLatin1String("true"), true);
    case u'f':
    case u'F':
        return onWord(6, QLatin1String("false"), false);
    default:
        if (c == u'-' || isAsciiDigit(c))
            return onNumber();
        return Step::Continue;
    }
}

Step RecordScanner::onOpenBrace()
{
    m_result.emplace();
    m_expectKey = true;
    return Step::Continue;
}

Step RecordScanner::onQuotationMark()
{
    std::optional<QString> string = JSONEncoder::jsonStringForStr(m_text, m_position, m_error);
    if (!string || m_error)
        return Step::Reject;
    if (m_expectKey)
        m_key = std::move(string);
    else
        m_value = QVariant(std::move(*string));
    return Step::Continue;
}

Step RecordScanner::onComma()
{
    if (!m_result || m_result->empty())
        return Step::Reject;
    m_expectKey = true;
    return Step::Continue;
}

Step RecordScanner::onColon()
{
    if (!m_key || m_key->isEmpty())
        return Step::Reject;
    m_expectKey = false;
    return Step::Continue;
}

Step RecordScanner::onNumber()
{
    if (m_expectKey)
        return Step::Reject;
    --m_position;
    m_value = JSONEncoder::jsonNumberForStr(m_text, m_position, m_error);
    m_expectKey = false;
    return Step::Continue;
}

// true/false: the word must leave at least one character after it. Only the
// exact word (ignoring case) gives `valueWhenEqual`; any other text from this
// letter on gives its opposite.
Step RecordScanner::onWord(quint64 needed, QLatin1String word, bool valueWhenEqual)
{
    --m_position;
    if (m_expectKey || m_length - m_position < needed)
        return Step::Reject;
    // ASCII letters only: folding the case of the text's letters is enough.
    bool equal = true;
    for (qsizetype i = 0; i < word.size() && equal; ++i) {
        const char16_t c = m_text.at(qsizetype(m_position) + i).unicode();
        equal = (c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c) == char16_t(word.at(i).unicode());
    }
    m_value = QVariant(equal ? valueWhenEqual : !valueWhenEqual);
    m_position += quint64(word.size());
    m_expectKey = false;
    return Step::Continue;
}

void RecordScanner::storePendingPair()
{
    if (!m_key || !m_value)
        return;
    // Records written by this class list their keys in order: the hint makes
    // each insertion constant time; a key out of order or repeated is placed
    // (or replaced) as without it.
    if (m_result)
        m_result->insert_or_assign(m_result->end(), std::move(*m_key), std::move(*m_value));
    m_key.reset();
    m_value.reset();
    m_expectKey = false;
}

} // namespace

QString JSONEncoder::stringByAddingJSONEscape(const QString& text)
{
    QString escaped;
    escaped.reserve(text.size() + text.size() / 8 + 2);
    appendEscaped(escaped, text);
    return escaped;
}

QString JSONEncoder::stringByReplacingJSONEscape(const QString& text)
{
    QString plain;
    plain.reserve(text.size());
    const qsizetype length = text.size();
    for (qsizetype i = 0; i < length; ++i) {
        const QChar c = text.at(i);
        const char16_t replacement = (c == u'\\' && i + 1 < length) ? characterForEscapeLetter(text.at(i + 1).unicode()) : 0;
        if (replacement) {
            plain += QChar(replacement);
            ++i;
        } else {
            plain += c;
        }
    }
    return plain;
}

QString JSONEncoder::createJSONStrFromDict(const QVariantMap& dictionary)
{
    QString json;
    json.reserve(64 * (dictionary.size() + 1));
    json += u'{';
    bool first = true;
    for (auto it = dictionary.cbegin(); it != dictionary.cend(); ++it) {
        if (!first)
            json += u',';
        first = false;
        json += u'"';
        json += it.key();
        json += QLatin1String("\":");
        appendValue(json, it.value());
    }
    json += u'}';
    return json;
}

std::optional<QVariantMap> JSONEncoder::createObjFromJSONStr(const QString& text)
{
    return RecordScanner(text).scan();
}

std::optional<QString> JSONEncoder::jsonStringForStr(const QString& text, quint64& position, bool& error)
{
    const quint64 length = quint64(text.size());
    if (position >= length)
        return std::nullopt;
    const QStringView view(text);
    QString result;
    bool first = true;
    while (!error) {
        // Plain characters up to the next quotation mark or backslash go in
        // as one run; a text that ends inside the run is unterminated.
        quint64 stop = position;
        while (stop < length && view[qsizetype(stop)] != u'"' && view[qsizetype(stop)] != u'\\')
            ++stop;
        const QStringView run = view.mid(qsizetype(position), qsizetype(stop - position));
        position = stop;
        if (position >= length)
            return std::nullopt;
        if (view[qsizetype(position++)] == u'"') {
            // A string without escapes, the usual case, is copied once.
            if (first)
                return run.toString();
            result += run;
            return result;
        }
        if (first)
            result.reserve(qsizetype(length - position) + run.size());
        first = false;
        result += run;
        if (position >= length) { // a backslash as the last character
            error = true;
            return std::nullopt;
        }
        const QChar letter = view[qsizetype(position++)];
        const char16_t standsFor = characterForEscapeLetter(letter.unicode());
        result += standsFor ? QChar(standsFor) : letter;
        if (position >= length)
            return std::nullopt; // unterminated
    }
    return std::nullopt;
}

std::optional<QVariant> JSONEncoder::jsonNumberForStr(const QString& text, quint64& position, bool& error)
{
    // Unsigned arithmetic wraps where a signed accumulator would overflow.
    quint64 integer = 0;
    double floating = 0.0;
    bool integral = true;
    bool negative = false;
    quint64 fractionDigits = 0;
    const quint64 length = quint64(text.size());
    while (!error && position < length) {
        const QChar c = text.at(qsizetype(position++));
        if (c == u'-') {
            negative = true;
        } else if (c == u'.') {
            if (fractionDigits > 0) {
                error = true;
            } else {
                floating = double(qint64(integer));
                fractionDigits = 1;
                integral = false;
            }
        } else if (isAsciiDigit(c)) {
            const unsigned digit = c.unicode() - u'0';
            if (integral) {
                integer = integer * 10 + digit;
            } else {
                floating += digit / std::pow(10.0, double(fractionDigits));
                ++fractionDigits;
            }
        } else if (c != u'e') {
            --position;
            break;
        }
    }
    if (error)
        return std::nullopt;
    if (integral)
        return QVariant(qint64(negative ? 0 - integer : integer));
    return QVariant(negative ? -floating : floating);
}
