#include "PropertyList.h"

#include "BinaryPlist.h"
#include "TestSupport.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <sys/stat.h>

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

namespace {

// Arrays nested `depth` deep, the innermost one empty.
QByteArray nestedBinary(int depth)
{
    QList<QByteArray> objects;
    for (int i = 0; i + 1 < depth; ++i)
        objects.append(container(0xa, 1, ref(i + 1)));
    objects.append(container(0xa, 0, {}));
    return binaryPlist(objects);
}

QByteArray nestedXml(int depth, const QByteArray& open = "<array>")
{
    return "<?xml version=\"1.0\"?><plist version=\"1.0\">" + open.repeated(depth) + "<string>leaf</string>"
           + QByteArray("</array>").repeated(depth) + "</plist>";
}

QByteArray xmlPlist(const QByteArray& body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">" + body + "</plist>";
}

} // namespace

TEST(PropertyList, NestingIsBoundedBeforeTheLibraryParses)
{
    struct Case {
        const char* what;
        QByteArray data;
        bool accepted;
    };
    const QList<Case> cases{
        {"XML at the bound", nestedXml(platform::kMaxPropertyListDepth), true},
        {"XML past the bound", nestedXml(platform::kMaxPropertyListDepth + 1), false},
        {"XML past the bound by an empty array",
         xmlPlist(QByteArray("<array>").repeated(platform::kMaxPropertyListDepth) + "<array/>"
                  + QByteArray("</array>").repeated(platform::kMaxPropertyListDepth)),
         false},
        {"XML 50,000 deep", nestedXml(50000), false},
        {"XML hiding tags in attributes", nestedXml(50000, "<array a=\"/>\">"), false},
        {"binary at the bound", nestedBinary(platform::kMaxPropertyListDepth), true},
        {"binary past the bound", nestedBinary(platform::kMaxPropertyListDepth + 1), false},
        {"binary 50,000 deep", nestedBinary(50000), false},
        {"binary array holding itself", binaryPlist({container(0xa, 1, ref(0))}), false},
    };
    for (const Case& c : cases) {
        QString error;
        const QVariant value = platform::propertyListFromData(c.data, &error);
        EXPECT_EQ(value.isValid(), c.accepted) << c.what << ": " << error.toStdString();
        EXPECT_EQ(error.isEmpty(), c.accepted) << c.what;
    }
    QString error;
    platform::propertyListFromData(nestedXml(50000), &error);
    EXPECT_TRUE(error.contains(QStringLiteral("deeper than 512"))) << error.toStdString();
}

TEST(PropertyList, SharedReferencesCannotExpandWithoutBound)
{
    // Each array holds the next one twice: 2^40 values once copied.
    QList<QByteArray> objects;
    for (int i = 0; i < 40; ++i)
        objects.append(container(0xa, 2, ref(i + 1) + ref(i + 1)));
    objects.append(QByteArray("\x51x", 2));
    QString error;
    EXPECT_FALSE(platform::propertyListFromData(binaryPlist(objects), &error).isValid());
    EXPECT_TRUE(error.contains(QStringLiteral("expands"))) << error.toStdString();

    // Modest sharing is fine.
    objects.resize(0);
    for (int i = 0; i < 8; ++i)
        objects.append(container(0xa, 2, ref(i + 1) + ref(i + 1)));
    objects.append(QByteArray("\x51x", 2));
    const QVariant value = platform::propertyListFromData(binaryPlist(objects), &error);
    ASSERT_TRUE(value.isValid()) << error.toStdString();
}

TEST(PropertyList, NulIsDataInBinaryStringsAndRefusedWhereTheLibraryWouldCutIt)
{
    const QString withNul = QStringLiteral("\u00e9") + QChar(0) + u'y';
    struct Case {
        const char* what;
        QByteArray data;
        std::optional<QString> value; // none: refused
    };
    const QList<Case> cases{
        {"binary UTF-16 string",
         binaryPlist({container(0xd, 1, ref(1) + ref(2)), "\x51k", QByteArray("\x63", 1) + utf16(withNul)}), withNul},
        {"XML string (XML has no NUL)", xmlPlist(QByteArray("<dict><key>k</key><string>x\0y</string></dict>", 45)),
         std::nullopt},
        {"XML key", xmlPlist(QByteArray("<dict><key>k\0k</key><string>v</string></dict>", 44)), std::nullopt},
        {"binary UTF-16 key",
         binaryPlist({container(0xd, 1, ref(1) + ref(2)), QByteArray("\x63", 1) + utf16(withNul), "\x51v"}), std::nullopt},
        {"binary one-byte key", binaryPlist({container(0xd, 1, ref(1) + ref(2)), QByteArray("\x53k\0k", 4), "\x51v"}),
         std::nullopt},
    };
    for (const Case& c : cases) {
        QString error;
        const QVariant value = platform::propertyListFromData(c.data, &error);
        if (c.value) {
            ASSERT_TRUE(value.isValid()) << c.what << ": " << error.toStdString();
            EXPECT_EQ(value.toMap().value(QStringLiteral("k")).toString(), *c.value) << c.what;
        } else {
            EXPECT_FALSE(value.isValid()) << c.what;
            EXPECT_TRUE(error.contains(QStringLiteral("NUL"))) << c.what << ": " << error.toStdString();
        }
    }
}

TEST(PropertyList, FarDatesAndLargeIntegersKeepTheirValues)
{
    struct Case {
        const char* element;
        QVariant expected;
    };
    const QList<Case> cases{
        {"<date>1900-01-01T00:00:00Z</date>", QDateTime(QDate(1900, 1, 1), QTime(0, 0), Qt::UTC)},
        {"<date>1931-06-30T12:00:00Z</date>", QDateTime(QDate(1931, 6, 30), QTime(12, 0), Qt::UTC)},
        {"<date>2070-01-01T00:00:00Z</date>", QDateTime(QDate(2070, 1, 1), QTime(0, 0), Qt::UTC)},
        {"<date>2500-12-31T23:59:59Z</date>", QDateTime(QDate(2500, 12, 31), QTime(23, 59, 59), Qt::UTC)},
        {"<integer>9223372036854775807</integer>", QVariant(std::numeric_limits<qint64>::max())},
        {"<integer>9223372036854775808</integer>", QVariant(quint64(1) << 63)},
        {"<integer>18446744073709551615</integer>", QVariant(std::numeric_limits<quint64>::max())},
        {"<integer>-9223372036854775808</integer>", QVariant(std::numeric_limits<qint64>::min())},
        {"<integer>-1</integer>", QVariant(qint64(-1))},
    };
    for (const Case& c : cases) {
        QString error;
        const QVariant value = platform::propertyListFromData(xmlPlist(c.element), &error);
        ASSERT_TRUE(value.isValid()) << c.element << ": " << error.toStdString();
        EXPECT_EQ(value, c.expected) << c.element << " gave " << value.toString().toStdString();
        // and they survive a write and a read
        const QVariant back = platform::propertyListFromData(platform::propertyListToXml(c.expected), &error);
        EXPECT_EQ(back, c.expected) << c.element << " after a round trip: " << back.toString().toStdString();
    }
}

TEST(PropertyList, UidValueFailsTheReadWithAReason)
{
    ScratchHome home;
    const QString path = home.path(QStringLiteral("uid.plist"));
    // A dictionary {"k": UID 5}.
    ASSERT_TRUE(writeFile(path, binaryPlist({container(0xd, 1, ref(1) + ref(2)), "\x51k", QByteArray("\x80\x05", 2)})));
    QString error;
    EXPECT_TRUE(platform::readPropertyListDictionary(path, &error).isEmpty());
    EXPECT_TRUE(error.contains(QStringLiteral("UID"))) << error.toStdString();
}

TEST(PropertyList, HostileFilesAreRefusedWithoutBlockingOrFollowingTheLink)
{
    ScratchHome home;
    const QString good = home.path(QStringLiteral("good.plist"));
    ASSERT_TRUE(writePlist(good, QVariantMap{{"k", 1}}));
    const auto at = [&](const char* name) { return home.path(QString::fromLatin1(name)); };
    ASSERT_EQ(::mkfifo(QFile::encodeName(at("fifo.plist")).constData(), 0600), 0);
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), at("zero.plist")));
    ASSERT_TRUE(QFile::link(good, at("link.plist")));
    ASSERT_TRUE(writeFile(at("huge.plist"),
                          xmlPlist("<string>" + QByteArray(platform::kMaxPropertyListFileSize, 'x') + "</string>")));
    struct Case {
        const char* name;
        platform::FinalLink link;
        bool readable;
    };
    const QList<Case> cases{
        {"fifo.plist", platform::FinalLink::NotFollowed, false}, {"fifo.plist", platform::FinalLink::Followed, false},
        {"zero.plist", platform::FinalLink::NotFollowed, false}, {"zero.plist", platform::FinalLink::Followed, false},
        {"link.plist", platform::FinalLink::NotFollowed, false}, {"link.plist", platform::FinalLink::Followed, true},
        {"huge.plist", platform::FinalLink::NotFollowed, false}, {"good.plist", platform::FinalLink::NotFollowed, true},
    };
    for (const Case& c : cases) {
        QString error;
        const QVariantMap map = platform::readPropertyListDictionary(at(c.name), &error, c.link);
        EXPECT_EQ(map.value("k").toInt() == 1, c.readable) << c.name << ": " << error.toStdString();
        EXPECT_EQ(error.isEmpty(), c.readable) << c.name;
    }
}

// The batch reader gives the single-file reader's answer for every kind of
// file, across more files than one batch holds, and keeps no file open.
TEST(PropertyList, BatchReadGivesWhatEachFileReadGives)
{
    ScratchHome home;
    const auto at = [&](const char* name) { return home.path(QString::fromLatin1(name)); };
    ASSERT_TRUE(writePlist(at("good.plist"), QVariantMap{{"k", 1}}));
    ASSERT_TRUE(writePlist(at("other.plist"), QVariantMap{{"k", QStringLiteral("two")}, {"l", QVariantList{1, 2}}}));
    ASSERT_TRUE(writePlist(at("array.plist"), QVariantList{1, 2}));
    ASSERT_EQ(::mkfifo(QFile::encodeName(at("fifo.plist")).constData(), 0600), 0);
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), at("zero.plist")));
    ASSERT_TRUE(QFile::link(at("good.plist"), at("link.plist")));
    ASSERT_TRUE(QDir().mkpath(at("folder.plist")));
    ASSERT_TRUE(writeFile(at("huge.plist"),
                          xmlPlist("<string>" + QByteArray(platform::kMaxPropertyListFileSize, 'x') + "</string>")));
    ASSERT_TRUE(writeFile(at("deep.plist"), nestedXml(platform::kMaxPropertyListDepth + 1)));
    ASSERT_TRUE(writeFile(at("junk.plist"), "not a plist at all"));
    ASSERT_TRUE(writeFile(at("empty.plist"), QByteArray()));
    ASSERT_TRUE(writeFile(at("unreadable.plist"), xmlPlist("<dict/>"), 0));
    const QStringList kinds{
        at("good.plist"),       at("other.plist"), at("array.plist"),
        at("fifo.plist"),       at("zero.plist"),  at("link.plist"),
        at("folder.plist"),     at("huge.plist"),  at("deep.plist"),
        at("junk.plist"),       at("empty.plist"), at("absent.plist"),
        at("unreadable.plist"), QString(),         at("good.plist") + QChar(0) + QStringLiteral("/more")};
    // A NUL would end the name at the file system: such a path is refused, not cut short.
    QString nulError;
    EXPECT_TRUE(platform::readPropertyListDictionary(kinds.last(), &nulError).isEmpty());
    EXPECT_FALSE(nulError.isEmpty());
    const auto openDescriptors = [] { return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files).size(); };
    platform::readPropertyListDictionaries(kinds); // the thread's batch set-up, kept for later batches
    const qsizetype descriptorsBefore = openDescriptors();
    for (const qsizetype count : {qsizetype(1), qsizetype(5), kinds.size(), qsizetype(600)}) {
        QStringList paths;
        for (qsizetype i = 0; i < count; ++i)
            paths.append(kinds.at(i % kinds.size()));
        for (const platform::FinalLink link : {platform::FinalLink::NotFollowed, platform::FinalLink::Followed}) {
            QStringList errors;
            const QList<QVariantMap> maps = platform::readPropertyListDictionaries(paths, &errors, link);
            ASSERT_EQ(maps.size(), count);
            ASSERT_EQ(errors.size(), count);
            for (qsizetype i = 0; i < count; ++i) {
                QString error;
                const QVariantMap single = platform::readPropertyListDictionary(paths.at(i), &error, link);
                EXPECT_EQ(maps.at(i), single) << count << " files, " << paths.at(i).toStdString();
                EXPECT_EQ(errors.at(i), error) << count << " files, " << paths.at(i).toStdString();
            }
        }
    }
    EXPECT_EQ(openDescriptors(), descriptorsBefore);
}
