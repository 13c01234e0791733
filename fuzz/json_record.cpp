// Feeds arbitrary text to the JSON record reader and its scanners, and checks
// what must hold for any input: positions stay inside the text, escaping is
// undone exactly, and a record read from the text is written and read back
// unchanged when its keys and values can make the trip: keys are written
// unescaped, an empty key is refused before its ":" (the scanner can still
// store one when the value comes first), and reals are written in a form the
// reader does not take.
//
// Input: first byte even: the rest is UTF-8; odd: raw UTF-16 units, so that
// lone surrogates and every other unit are reached.

#include "JSONEncoder.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

QString textOf(const uint8_t* data, size_t size)
{
    if (size == 0)
        return {};
    const char* rest = reinterpret_cast<const char*>(data + 1);
    const qsizetype restSize = qsizetype(size - 1);
    if (data[0] % 2 == 0)
        return QString::fromUtf8(rest, restSize);
    QString text(restSize / 2, Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i)
        text[i] = QChar(char16_t(uint8_t(rest[2 * i]) | (uint8_t(rest[2 * i + 1]) << 8)));
    return text;
}

void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "Broken: %s\n", what);
        std::abort();
    }
}

bool canMakeTheTrip(const QVariantMap& record)
{
    for (auto it = record.cbegin(); it != record.cend(); ++it) {
        if (it.key().isEmpty() || it.key().contains(u'"') || it.key().contains(u'\\')
            || it.value().typeId() == QMetaType::Double)
            return false;
    }
    return true;
}

void checkRecord(const QString& text)
{
    const std::optional<QVariantMap> record = JSONEncoder::createObjFromJSONStr(text);
    if (!record || !canMakeTheTrip(*record))
        return;
    const QString written = JSONEncoder::createJSONStrFromDict(*record);
    const std::optional<QVariantMap> again = JSONEncoder::createObjFromJSONStr(written);
    require(again.has_value(), "a written record is rejected");
    require(*again == *record, "a written record reads back changed");
}

void checkScanners(const QString& text)
{
    const quint64 length = quint64(text.size());
    for (const quint64 start : {quint64(0), std::min(quint64(1), length), length / 2, length}) {
        quint64 position = start;
        bool error = false;
        JSONEncoder::jsonNumberForStr(text, position, error);
        require(position <= length, "the number scanner ran past the end");
        position = start;
        error = false;
        JSONEncoder::jsonStringForStr(text, position, error);
        require(position <= length, "the string scanner ran past the end");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString text = textOf(data, size);
    checkRecord(text);
    checkScanners(text);
    require(JSONEncoder::stringByReplacingJSONEscape(JSONEncoder::stringByAddingJSONEscape(text)) == text,
            "escaping is not undone");
    return 0;
}
