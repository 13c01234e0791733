#include "JSONEncoder.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>

namespace {

std::optional<QVariantMap> read(const QString& text)
{
    return JSONEncoder::createObjFromJSONStr(text);
}

TEST(JSONEncoderWriter, EscapesQuotesAndBackslashesAndWritesBooleansBare)
{
    const QVariantMap record{{QStringLiteral("keepSignedIn"), true}, {QStringLiteral("password"), QStringLiteral("a\"b\\c")}};
    const QString json = JSONEncoder::createJSONStrFromDict(record);
    EXPECT_EQ(json, QStringLiteral(R"({"keepSignedIn":true,"password":"a\"b\\c"})"));

    const std::optional<QVariantMap> back = read(json);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->value(QStringLiteral("password")).toString(), QStringLiteral("a\"b\\c"));
    EXPECT_EQ(back->value(QStringLiteral("keepSignedIn")).typeId(), QMetaType::Bool);
    EXPECT_TRUE(back->value(QStringLiteral("keepSignedIn")).toBool());
}

TEST(JSONEncoderWriter, EscapesExactlyTheTableAndNothingElse)
{
    const QString text = QStringLiteral("\\\"/\b\f\n\r\t") + QChar(0x01) + QStringLiteral("é€") + QChar(0xD83D)
                         + QChar(0xDE00);
    EXPECT_EQ(JSONEncoder::stringByAddingJSONEscape(text),
              QStringLiteral(R"(\\\"\/\b\f\n\r\t)") + QChar(0x01) + QStringLiteral("é€") + QChar(0xD83D) + QChar(0xDE00));
}

TEST(JSONEncoderWriter, WritesNumbersEmptyRecordsAndOtherValuesAsEmptyStrings)
{
    EXPECT_EQ(JSONEncoder::createJSONStrFromDict({}), QStringLiteral("{}"));
    const QVariantMap record{{QStringLiteral("a"), qint64(-12)},
                             {QStringLiteral("b"), QVariantList{1, 2}},
                             {QStringLiteral("c"), QVariantMap{{QStringLiteral("x"), 1}}},
                             {QStringLiteral("d"), false},
                             {QStringLiteral("e"), -0.25},
                             {QStringLiteral("f"), QVariant()}};
    const QString json = JSONEncoder::createJSONStrFromDict(record);
    EXPECT_EQ(json, QStringLiteral(R"({"a":-12,"b":"","c":"","d":false,"e":-0.25,"f":""})"));
    const std::optional<QVariantMap> back = read(json);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->value(QStringLiteral("a")), QVariant(qint64(-12)));
    EXPECT_EQ(back->value(QStringLiteral("b")), QVariant(QString()));
    EXPECT_EQ(back->value(QStringLiteral("c")).toString(), QString());
    EXPECT_EQ(back->value(QStringLiteral("d")).typeId(), QMetaType::Bool);
    EXPECT_EQ(back->value(QStringLiteral("e")).typeId(), QMetaType::Double);
    EXPECT_DOUBLE_EQ(back->value(QStringLiteral("e")).toDouble(), -0.25);
}

TEST(JSONEncoderWriter, KeysAreWrittenUnescapedSoAQuoteInAKeyDoesNotReadBack)
{
    const QString json = JSONEncoder::createJSONStrFromDict({{QStringLiteral("a\"b"), QStringLiteral("v")}});
    EXPECT_EQ(json, QStringLiteral(R"({"a"b":"v"})"));
    const std::optional<QVariantMap> back = read(json);
    EXPECT_FALSE(back && back->value(QStringLiteral("a\"b")) == QStringLiteral("v"));
}

TEST(JSONEncoderReader, AcceptsOnlyTextsThatCloseTheObject)
{
    ASSERT_TRUE(read(QStringLiteral("{}")));
    EXPECT_TRUE(read(QStringLiteral("{}"))->isEmpty());
    EXPECT_FALSE(read(QString()));
    EXPECT_FALSE(read(QStringLiteral("")));
    EXPECT_FALSE(read(QStringLiteral(R"({"a":"b")")));
    EXPECT_FALSE(read(QStringLiteral(R"({"a":"b)")));
    EXPECT_FALSE(read(QStringLiteral("}")));
    EXPECT_FALSE(read(QStringLiteral(R"("a":"b"})")));
    EXPECT_FALSE(read(QStringLiteral(R"({"a":"b\)")));
}

TEST(JSONEncoderReader, ToleratesBlanksAndKeepsTheLastOfEqualKeys)
{
    const std::optional<QVariantMap> record = read(QStringLiteral("{ \"a\" :\n\"1\" ,\t\"a\": \"2\", \"b\" : 7 }"));
    ASSERT_TRUE(record);
    EXPECT_EQ(*record, (QVariantMap{{QStringLiteral("a"), QStringLiteral("2")}, {QStringLiteral("b"), qint64(7)}}));
}

TEST(JSONEncoderReader, NullValues)
{
    // A null first value leaves the dictionary empty when the comma comes.
    EXPECT_FALSE(read(QStringLiteral(R"({"a":null,"b":"c"})")));
    // After a stored pair it is dropped and the next string is the key.
    const std::optional<QVariantMap> record = read(QStringLiteral(R"({"a":"b","c":null,"d":"e"})"));
    ASSERT_TRUE(record);
    EXPECT_EQ(*record, (QVariantMap{{QStringLiteral("a"), QStringLiteral("b")}, {QStringLiteral("d"), QStringLiteral("e")}}));
}

TEST(JSONEncoderReader, EveryOpeningBraceStartsOver)
{
    const std::optional<QVariantMap> record = read(QStringLiteral(R"({"a":"b","n":{"x":"y"},"c":"d"})"));
    ASSERT_TRUE(record);
    EXPECT_EQ(*record, (QVariantMap{{QStringLiteral("x"), QStringLiteral("y")}}));
}

TEST(JSONEncoderReader, BooleanWordsNeedACharacterAfterThem)
{
    EXPECT_FALSE(read(QStringLiteral(R"({"a":true)")));
    EXPECT_FALSE(read(QStringLiteral(R"({"a":false)")));
    const std::optional<QVariantMap> record = read(QStringLiteral(R"({"a":TRUE,"b":False,"c":fxxxx})"));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->value(QStringLiteral("a")), QVariant(true));
    EXPECT_EQ(record->value(QStringLiteral("b")), QVariant(false));
    // Only the exact word reads as false; anything else after an "f" is true.
    EXPECT_EQ(record->value(QStringLiteral("c")), QVariant(true));
}

TEST(JSONEncoderReader, RejectsValuesWhereAKeyIsExpectedAndEmptyKeys)
{
    EXPECT_FALSE(read(QStringLiteral(R"({1:"a"})")));
    EXPECT_FALSE(read(QStringLiteral(R"({true:"a"})")));
    EXPECT_FALSE(read(QStringLiteral(R"({"":"a"})")));
    EXPECT_FALSE(read(QStringLiteral(R"({"a":1.2.3})")));
}

TEST(JSONEncoderReader, KeepsEveryUtf16UnitOfTextOutsideAscii)
{
    const QString password = QStringLiteral("пароль密码🔑") + QChar(0xDC00); // a lone low surrogate too
    const std::optional<QVariantMap> record = read(
        JSONEncoder::createJSONStrFromDict({{QStringLiteral("password"), password}}));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->value(QStringLiteral("password")).toString(), password);
}

struct NumberCase {
    const char* text;
    QVariant value;
    quint64 endPosition;
};

TEST(JSONEncoderScanner, ReadsNumbersTheWayStoredRecordsNeed)
{
    const NumberCase cases[] = {
        {"12", QVariant(qint64(12)), 2},  {"-0.25", QVariant(-0.25), 5},
        {"3.", QVariant(3.0), 2},         {"1e5", QVariant(qint64(15)), 3},
        {"5-", QVariant(qint64(-5)), 2},  {"1E5", QVariant(qint64(1)), 1},
        {"42}", QVariant(qint64(42)), 2}, {"-9223372036854775808,", QVariant(std::numeric_limits<qint64>::min()), 20},
    };
    for (const NumberCase& c : cases) {
        quint64 position = 0;
        bool error = false;
        const std::optional<QVariant> number = JSONEncoder::jsonNumberForStr(QString::fromUtf8(c.text), position, error);
        ASSERT_TRUE(number) << c.text;
        EXPECT_FALSE(error) << c.text;
        EXPECT_EQ(number->typeId(), c.value.typeId()) << c.text;
        EXPECT_EQ(*number, c.value) << c.text;
        EXPECT_EQ(position, c.endPosition) << c.text;
    }
    quint64 position = 0;
    bool error = false;
    EXPECT_FALSE(JSONEncoder::jsonNumberForStr(QStringLiteral("1.2.3"), position, error));
    EXPECT_TRUE(error);
}

TEST(JSONEncoderScanner, OverlongIntegersWrapInsteadOfOverflowing)
{
    quint64 position = 0;
    bool error = false;
    const std::optional<QVariant> number = JSONEncoder::jsonNumberForStr(QStringLiteral("99999999999999999999999999999999"),
                                                                         position, error);
    ASSERT_TRUE(number);
    EXPECT_EQ(number->typeId(), QMetaType::LongLong);
    EXPECT_EQ(position, 32u);
}

TEST(JSONEncoderScanner, ReadsStringsAndTheirEscapes)
{
    quint64 position = 1;
    bool error = false;
    const QString text = QStringLiteral(R"("a\"\\\/\b\f\n\r\t\u0041\q"rest)");
    const std::optional<QString> string = JSONEncoder::jsonStringForStr(text, position, error);
    ASSERT_TRUE(string);
    EXPECT_EQ(*string, QStringLiteral("a\"\\/\b\f\n\r\tu0041q"));
    EXPECT_EQ(text.mid(qsizetype(position)), QStringLiteral("rest"));
    EXPECT_FALSE(error);

    position = 1;
    EXPECT_FALSE(JSONEncoder::jsonStringForStr(QStringLiteral(R"("abc)"), position, error));
    EXPECT_FALSE(error) << "an unterminated string is not an error";
    position = 1;
    EXPECT_FALSE(JSONEncoder::jsonStringForStr(QStringLiteral(R"("abc\)"), position, error));
    EXPECT_TRUE(error) << "a backslash as the last character is";
    position = 5;
    error = false;
    EXPECT_FALSE(JSONEncoder::jsonStringForStr(QStringLiteral("ab"), position, error));
}

TEST(JSONEncoderEscapes, ReplacingUndoesAdding)
{
    const QString tricky = QStringLiteral("\\n is not a line feed\n, \\\\ \\\" \\u0041 \\");
    EXPECT_EQ(JSONEncoder::stringByReplacingJSONEscape(JSONEncoder::stringByAddingJSONEscape(tricky)), tricky);
    EXPECT_EQ(JSONEncoder::stringByReplacingJSONEscape(QStringLiteral(R"(\\n)")), QStringLiteral(R"(\n)"));
    EXPECT_EQ(JSONEncoder::stringByReplacingJSONEscape(QStringLiteral(R"(\x\)")), QStringLiteral(R"(\x\)"));
}

// Random records: any UTF-16 unit in values, quotes, backslashes and
// control characters, booleans and integers over the whole 64-bit range.
class RandomRecords {
public:
    explicit RandomRecords(uint64_t seed) : m_random(seed) {}

    QVariantMap record()
    {
        QVariantMap record;
        const int size = int(m_random() % 8);
        for (int i = 0; i < size; ++i)
            record.insert(key(), value());
        return record;
    }

    QString text(bool forKey)
    {
        QString text;
        const int length = int(m_random() % 24) + (forKey ? 1 : 0);
        static const char16_t special[] = {u'"', u'\\', u'/', u'\b', u'\f', u'\n', u'\r', u'\t', 0x01,
                                           0x1F, u'{',  u'}', u':',  u',',  u'u',  u'e',  u't',  u'f'};
        while (text.size() < length) {
            char16_t unit = 0;
            switch (m_random() % 3) {
            case 0:
                unit = special[m_random() % std::size(special)];
                break;
            case 1:
                unit = char16_t(0x20 + m_random() % 0x5F);
                break;
            default:
                unit = char16_t(m_random() % 0x10000);
                break;
            }
            if (forKey && (unit == u'"' || unit == u'\\'))
                continue; // keys are written unescaped
            text += QChar(unit);
        }
        return text;
    }

private:
    QString key() { return text(true); }

    QVariant value()
    {
        switch (m_random() % 4) {
        case 0:
            return bool(m_random() % 2);
        case 1:
            return qint64(m_random());
        case 2:
            return qint64(int(m_random() % 2001) - 1000);
        default:
            return text(false);
        }
    }

    std::mt19937_64 m_random;
};

TEST(JSONEncoderRoundTrip, RandomRecordsReadBackUnchanged)
{
    RandomRecords random(20240611);
    for (int i = 0; i < 3000; ++i) {
        const QVariantMap record = random.record();
        const QString json = JSONEncoder::createJSONStrFromDict(record);
        const std::optional<QVariantMap> back = read(json);
        ASSERT_TRUE(back) << json.toStdString();
        ASSERT_EQ(*back, record) << json.toStdString();
        for (auto it = record.cbegin(); it != record.cend(); ++it)
            ASSERT_EQ(back->value(it.key()).typeId(), it.value().typeId()) << json.toStdString();
    }
}

} // namespace
