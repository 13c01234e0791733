#include "PropertyList.h"

#include "TestSupport.h"

#include <QDateTime>
#include <QProcess>

#include <gtest/gtest.h>

using namespace testing_support;

TEST(PropertyList, XmlRoundTripKeepsEveryValueType)
{
    const QVariantMap value{
        {"string", QStringLiteral("caf\u00e9 <&>")},
        {"integer", qint64(-42)},
        {"big", qint64(1) << 40},
        {"real", 2.5},
        {"yes", true},
        {"no", false},
        {"data", QByteArray("\x00\x01\xff", 3)},
        {"date", QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC)},
        {"list", QVariantList{1, QStringLiteral("two"), QVariantMap{{"three", 3}}}},
    };
    QString error;
    const QVariant back = platform::propertyListFromData(platform::propertyListToXml(value), &error);
    ASSERT_TRUE(back.isValid()) << error.toStdString();
    const QVariantMap map = back.toMap();
    EXPECT_EQ(map.value("string").toString(), value.value("string").toString());
    EXPECT_EQ(map.value("integer").toLongLong(), -42);
    EXPECT_EQ(map.value("big").toLongLong(), qint64(1) << 40);
    EXPECT_DOUBLE_EQ(map.value("real").toDouble(), 2.5);
    EXPECT_EQ(map.value("yes").typeId(), QMetaType::Bool);
    EXPECT_TRUE(map.value("yes").toBool());
    EXPECT_FALSE(map.value("no").toBool());
    EXPECT_EQ(map.value("data").toByteArray(), QByteArray("\x00\x01\xff", 3));
    EXPECT_EQ(map.value("date").toDateTime().toSecsSinceEpoch(), 1700000000);
    EXPECT_EQ(map.value("list").toList().at(2).toMap().value("three").toLongLong(), 3);
}

TEST(PropertyList, ReadsBinaryPropertyLists)
{
    ScratchHome home;
    const QString xml = home.path(QStringLiteral("in.plist"));
    writePlist(xml, QVariantMap{{"Brand", 15}, {"Name", QStringLiteral("B")}});
    // A binary list written by the library itself.
    const QString binary = home.path(QStringLiteral("out.plist"));
    if (QProcess::execute(QStringLiteral("plistutil"), {"-i", xml, "-o", binary, "-f", "bin"}) != 0)
        GTEST_SKIP() << "plistutil is not installed";
    const QVariantMap map = platform::readPropertyListDictionary(binary);
    EXPECT_EQ(map.value("Brand").toInt(), 15);
    EXPECT_EQ(map.value("Name").toString(), QStringLiteral("B"));
}

TEST(PropertyList, DamagedInputGivesNothingAndAReason)
{
    ScratchHome home;
    QString error;
    EXPECT_FALSE(platform::readPropertyList(home.path(QStringLiteral("absent.plist")), &error).isValid());
    EXPECT_FALSE(error.isEmpty());

    for (const QByteArray& junk : {QByteArray("not a plist at all"), QByteArray("<?xml version=\"1.0\"?><plist><dict><key>a"),
                                   QByteArray("bplist00\x01\x02", 10), QByteArray()}) {
        error.clear();
        writeFile(home.path(QStringLiteral("junk.plist")), junk);
        EXPECT_TRUE(platform::readPropertyListDictionary(home.path(QStringLiteral("junk.plist")), &error).isEmpty());
        EXPECT_FALSE(error.isEmpty()) << junk.constData();
    }

    writePlist(home.path(QStringLiteral("array.plist")), QVariantList{1, 2});
    error.clear();
    EXPECT_TRUE(platform::readPropertyListDictionary(home.path(QStringLiteral("array.plist")), &error).isEmpty());
    EXPECT_EQ(error, QStringLiteral("the root is not a dictionary"));
}
