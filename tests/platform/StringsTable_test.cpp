#include "StringsTable.h"

#include <QStringEncoder>

#include <gtest/gtest.h>

using platform::parseStringsTable;

TEST(StringsTable, ReadsQuotedAndBareEntriesCommentsAndEscapes)
{
    const QByteArray text = R"(/* a block
   comment */
"ProductName" = "Quorbel";   // a line comment
"Quote" = "say \"hi\"\n\ttab \\ back";
BareKey = bare.value;
"Unicode" = "caf\U00e9 \351";
"Alone";
)";
    QString error;
    const auto table = parseStringsTable(text, &error);
    ASSERT_TRUE(table) << error.toStdString();
    EXPECT_EQ(table->value("ProductName"), QStringLiteral("Quorbel"));
    EXPECT_EQ(table->value("Quote"), QStringLiteral("say \"hi\"\n\ttab \\ back"));
    EXPECT_EQ(table->value("BareKey"), QStringLiteral("bare.value"));
    EXPECT_EQ(table->value("Unicode"), QString::fromUtf8("caf\u00e9 \u00e9"));
    EXPECT_EQ(table->value("Alone"), QStringLiteral("Alone"));
}

TEST(StringsTable, ReadsUtf16WithByteOrderMarkAndUtf8WithOne)
{
    const QString source = QStringLiteral("\"K\" = \"V\u00e9\u4e2d\";");
    for (auto encoding : {QStringConverter::Utf16LE, QStringConverter::Utf16BE, QStringConverter::Utf8}) {
        QStringEncoder encoder(encoding, QStringEncoder::Flag::WriteBom);
        const QByteArray bytes = encoder(source);
        const auto table = parseStringsTable(bytes);
        ASSERT_TRUE(table) << int(encoding);
        EXPECT_EQ(table->value("K"), QStringLiteral("V\u00e9\u4e2d"));
    }
}

TEST(StringsTable, MalformedTextIsRejectedWithItsLine)
{
    struct Case {
        const char* text;
        const char* error;
    } cases[] = {
        {"\"A\" = \"1\";\n\"B\" = \"2\"\n\"C\" = \"3\";", "line 3: expected ';'"},
        {"\"A\" = \"unterminated;", "line 1: expected a value after '='"},
        {"\"A\" = ;", "line 1: expected a value after '='"},
        {"= \"x\";", "line 1: expected a quoted key"},
        {"\"A\" = \"1\"; /* never closed", "unterminated comment"},
        {"\"A\" = \"\\U12\";", "expected a value"},
    };
    for (const Case& c : cases) {
        QString error;
        EXPECT_FALSE(parseStringsTable(c.text, &error)) << c.text;
        EXPECT_TRUE(error.contains(QLatin1String(c.error))) << c.text << " -> " << error.toStdString();
    }
    QString error;
    EXPECT_FALSE(parseStringsTable(QByteArray("\"A\" = \"\xff\xfe\xfd\";", 12), &error));
    EXPECT_FALSE(error.isEmpty());
}

TEST(StringsTable, AnEmptyOrCommentOnlyTableIsEmpty)
{
    EXPECT_TRUE(parseStringsTable("")->isEmpty());
    EXPECT_TRUE(parseStringsTable("  // nothing\n/* here */\n")->isEmpty());
}

TEST(StringsTable, AnEmptyValueIsEmptyTextNotAMissingOne)
{
    const auto table = parseStringsTable("\"Empty\" = \"\";\n\"\" = \"empty key\";");
    ASSERT_TRUE(table);
    ASSERT_TRUE(table->contains(QStringLiteral("Empty")));
    EXPECT_FALSE(table->value(QStringLiteral("Empty")).isNull());
    EXPECT_TRUE(table->value(QStringLiteral("Empty")).isEmpty());
    EXPECT_EQ(table->value(QString(QLatin1String(""))), QStringLiteral("empty key"));
}
