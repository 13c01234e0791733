#include "Format.h"

#include <limits>

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
