// Feeds arbitrary bytes to the strings-table reader: it answers a table or a
// reason for every input, and a table it gives holds what a written form of
// that table reads back as.

#include "StringsTable.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "Broken: %s\n", what);
        std::abort();
    }
}

// A table written with every character of keys and values escaped as \Uxxxx
// (surrogate halves included), which the reader must undo exactly.
QByteArray written(const platform::StringsTable& table)
{
    QByteArray out;
    const auto quoted = [](const QString& text) {
        QByteArray field = "\"";
        for (const QChar c : text)
            field += "\\U" + QByteArray::number(c.unicode(), 16).rightJustified(4, '0');
        return field + '"';
    };
    for (auto it = table.cbegin(); it != table.cend(); ++it)
        out += quoted(it.key()) + " = " + quoted(it.value()) + ";\n";
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QString error;
    const auto table = platform::parseStringsTable(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)), &error);
    require(table.has_value() || !error.isEmpty(), "a refusal without a reason");
    if (!table)
        return 0;
    QString again;
    const auto back = platform::parseStringsTable(written(*table), &again);
    require(back.has_value(), "a written table was refused");
    require(*back == *table, "a written table read back differently");
    return 0;
}
