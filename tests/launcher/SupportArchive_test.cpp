// What the support archive holds: settings without a secret, however the
// product stored it; logs cut to their size limits; an archive that appears
// whole or not at all.

#include "SupportArchive.h"

#include "KeyConstants.h"
#include "PropertyList.h"
#include "TestSupport.h"
#include "UserDefaults.h"
#include "UserManager.h"
#include "ZipArchiveWriter.h"
#include "ZipBuilder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>
#include <unzip.h>

#include <fcntl.h>
#include <map>
#include <unistd.h>

using namespace testing_support;

namespace {

// Every text value at any depth, <data> holding a property list opened up.
void collectTexts(const QVariant& value, QStringList* texts)
{
    if (value.typeId() == QMetaType::QVariantMap) {
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            collectTexts(*it, texts);
    } else if (value.typeId() == QMetaType::QVariantList) {
        for (const QVariant& entry : value.toList())
            collectTexts(entry, texts);
    } else if (value.typeId() == QMetaType::QByteArray) {
        const QVariant inner = platform::propertyListFromData(value.toByteArray());
        if (inner.isValid())
            collectTexts(inner, texts);
        else
            texts->append(QString::fromUtf8(value.toByteArray()));
    } else {
        texts->append(value.toString());
    }
}

TEST(SupportArchive, NoSecretTheProductStoresLeavesTheMachine)
{
    ScratchHome home;
    const QString settingsFile = home.home() + "/.config/com.quorbel.Quorbel.plist";
    platform::UserDefaults defaults(settingsFile);
    UserManager users(defaults);
    // Stored as the product stores them: the proxy password at the top level
    // and in a user's record, whole records with the account's secrets, and
    // secrets nested in arrays, dictionaries and data that holds a property list.
    ASSERT_TRUE(defaults.setObject("S-top-proxy", kProxyPassword));
    users.saveUser({{kUserUserName, "ann"},
                    {kUserPassword, "S-ann-password"},
                    {kUserEncryptionKey, "S-ann-key"},
                    {kUserCacheName, "ann-cache"}},
                   "ann");
    users.setObject("S-ann-proxy", kProxyPassword, "ann");
    ASSERT_TRUE(defaults.setObject(QVariantList{QVariantMap{{"password", "S-lower"}, {"Host", "proxy.example"}},
                                                QVariantMap{{"Nested", QVariantMap{{"AuthToken", "S-token"}}}}},
                                   "Accounts"));
    ASSERT_TRUE(defaults.setObject(
        platform::propertyListToXml(
            QVariantMap{{"ClientSecret", "S-in-data"}, {"PrivateKey", QByteArray("S-key-bytes")}, {"Label", "in-data"}}),
        "Archived"));
    const QStringList secrets{"S-top-proxy", "S-ann-password", "S-ann-key", "S-ann-proxy",
                              "S-lower",     "S-token",        "S-in-data", "S-key-bytes"};

    SupportArchive::Contents contents;
    contents.logFolder = home.home() + "/Library/Logs/Quorbel/Quorbel";
    contents.productName = "Quorbel";
    contents.coreLog = home.home() + "/Library/Logs/Quorbel/QuorbelCore/QuorbelCore.log";
    contents.settingsFile = settingsFile;
    contents.checkJson = "{}";
    const QString archive = home.home() + "/support.zip";
    QString error;
    QStringList skipped;
    ASSERT_TRUE(SupportArchive::write(archive, contents, &error, &skipped)) << error.toStdString();

    const auto entries = readZip(archive);
    ASSERT_EQ(entries.count("settings.plist"), 1u);
    QStringList texts;
    collectTexts(platform::propertyListFromData(entries.at("settings.plist")), &texts);
    for (const char* kept : {"ann", "ann-cache", "proxy.example", "in-data"})
        EXPECT_TRUE(texts.contains(QLatin1String(kept))) << kept;
    for (const QString& secret : secrets) {
        EXPECT_FALSE(texts.contains(secret)) << secret.toStdString();
        for (const auto& [name, data] : entries)
            EXPECT_FALSE(data.contains(secret.toUtf8())) << secret.toStdString() << " in " << name.toStdString();
    }
    EXPECT_EQ(texts.count("<redacted>"), secrets.size());
}

TEST(SupportArchive, EachLogIsCutToItsLastPartAndTheArchiveToItsLimit)
{
    ScratchHome home;
    const QString folder = home.home() + "/Library/Logs/Quorbel/Quorbel";
    ASSERT_TRUE(QDir().mkpath(folder));
    // Sparse files: long to read whole, quick to make.
    const qint64 length = SupportArchive::kArchiveFileLimit + 4096;
    const int count = int(SupportArchive::kArchiveTotalLimit / SupportArchive::kArchiveFileLimit) + 2;
    for (int i = 0; i < count; ++i) {
        const QString path = folder + QStringLiteral("/Quorbel-2020-01-%1-000000.log").arg(i + 10);
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.resize(length - 5) && file.seek(length - 5));
        ASSERT_EQ(file.write("last\n"), 5);
    }
    SupportArchive::Contents contents;
    contents.logFolder = folder;
    contents.productName = "Quorbel";
    contents.coreLog = home.home() + "/none.log";
    contents.settingsFile = home.home() + "/none.plist";
    const QString archive = home.home() + "/support.zip";
    QString error;
    QStringList skipped;
    ASSERT_TRUE(SupportArchive::write(archive, contents, &error, &skipped)) << error.toStdString();

    const auto entries = readZip(archive);
    qint64 total = 0;
    for (const auto& [name, data] : entries) {
        total += data.size();
        if (!name.startsWith("logs/Quorbel-"))
            continue;
        EXPECT_TRUE(data.startsWith("[The first ")) << name.toStdString();
        EXPECT_TRUE(data.endsWith("last\n")) << name.toStdString();
        EXPECT_LE(data.size(), SupportArchive::kArchiveFileLimit + 200) << name.toStdString();
    }
    EXPECT_LE(total, SupportArchive::kArchiveTotalLimit + 4096);
    // The newest are in, the oldest are named as left out.
    EXPECT_EQ(entries.count(QStringLiteral("logs/Quorbel-2020-01-%1-000000.log").arg(count + 9).toUtf8()), 1u);
    EXPECT_EQ(entries.count("logs/Quorbel-2020-01-10-000000.log"), 0u);
    EXPECT_TRUE(skipped.join('\n').contains("Quorbel-2020-01-10-000000.log")) << skipped.join('\n').toStdString();
}

TEST(ZipArchiveWriter, TheArchiveAppearsOnlyWhenWholeAndAFailedOneRemovesNothing)
{
    ScratchHome home;
    const QString out = home.home() + "/out";
    const QString elsewhere = home.home() + "/elsewhere";
    ASSERT_TRUE(writeFile(elsewhere + "/a.zip", "precious"));
    ASSERT_TRUE(QDir().mkpath(out));
    for (const bool finishes : {false, true}) {
        SCOPED_TRACE(finishes ? "finished" : "abandoned");
        {
            ZipArchiveWriter writer;
            QString error;
            ASSERT_TRUE(writer.create(out + "/a.zip", &error)) << error.toStdString();
            ASSERT_TRUE(writer.addData("x.txt", "x", &error));
            EXPECT_FALSE(QFileInfo::exists(out + "/a.zip")); // nothing half-made under the name
            // The folder swapped for a link to another folder holding that name.
            ASSERT_TRUE(QDir().rename(out, out + ".moved"));
            ASSERT_TRUE(QFile::link(elsewhere, out));
            if (finishes) {
                EXPECT_TRUE(writer.finish(&error)) << error.toStdString();
            }
        }
        EXPECT_EQ(readFile(elsewhere + "/a.zip"), "precious");
        EXPECT_EQ(readZip(out + ".moved/a.zip").count("x.txt"), finishes ? 1u : 0u);
        EXPECT_EQ(QDir(out + ".moved").entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size(), finishes ? 1 : 0);
        ASSERT_TRUE(QFile::remove(out));
        ASSERT_TRUE(QDir(out + ".moved").removeRecursively());
        ASSERT_TRUE(QDir().mkpath(out));
    }
}

} // namespace
