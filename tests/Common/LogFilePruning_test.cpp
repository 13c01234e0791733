// Pruning old log files: what counts as a log file, which are the newest,
// and what is never removed.

#include "LogFilePruning.h"

#include "QtPrinters.h"
#include "TestSupport.h"
#include "UserDefaults.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace testing_support;

namespace {

QStringList names(const QList<QByteArray>& list)
{
    QStringList result;
    for (const QByteArray& name : list)
        result.append(QString::fromUtf8(name));
    return result;
}

QStringList remaining(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

TEST(LogFilePruning, OnlyNamesOfTheLogFileFormCount)
{
    const struct {
        const char* name;
        bool isLog;
    } cases[] = {
        {"Quorbel-2026-12-08-185051.log", true},   {"Quorbel-2026-12-08-185051-2.log", true},
        {"Quorbel-2026-12-08-18505.log", false},   {"Quorbel-2026-12-08-185051.log.gz", false},
        {"Quorbel-2026-12-08-185051-.log", false}, {"QuorbelCore-2026-12-08-185051.log", false},
        {"Other-2026-12-08-185051.log", false},    {"quorbel-2026-12-08-185051.log", false},
        {"Quorbel-2026-12-08-185051.LOG", false},  {"xQuorbel-2026-12-08-185051.log", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(isLogFileName(QString::fromLatin1(c.name), QStringLiteral("Quorbel")), c.isLog) << c.name;
    // The product name is text, not a pattern.
    EXPECT_FALSE(isLogFileName(QStringLiteral("AxB-2026-12-08-185051.log"), QStringLiteral("A.B")));
    EXPECT_TRUE(isLogFileName(QStringLiteral("A.B-2026-12-08-185051.log"), QStringLiteral("A.B")));
}

TEST(LogFilePruning, KeepsTheNewestByTheStampInTheNameNeverTheFileInUseAndNothingButRegularFiles)
{
    struct Case {
        const char* what;
        int keep;
        const char* inUse;
        QStringList removed;
    };
    // Written in an order unlike the stamps' so that only the names can decide.
    const QStringList logs{"Quorbel-2026-01-03-000000.log", "Quorbel-2025-12-31-235959.log",
                           "Quorbel-2026-01-03-000000-2.log", "Quorbel-2026-01-01-120000.log",
                           "Quorbel-2026-01-03-000000-10.log"};
    const Case cases[] = {
        {"keep three", 3, "Quorbel-2026-01-03-000000-10.log", {"Quorbel-2025-12-31-235959.log", "Quorbel-2026-01-01-120000.log"}},
        {"keep more than there are", 9, "Quorbel-2026-01-03-000000-10.log", {}},
        {"the file in use is old",
         1,
         "Quorbel-2025-12-31-235959.log",
         {"Quorbel-2026-01-01-120000.log", "Quorbel-2026-01-03-000000.log", "Quorbel-2026-01-03-000000-2.log"}},
    };
    for (const Case& c : cases) {
        QTemporaryDir dir;
        const QString folder = dir.path();
        for (const QString& log : logs)
            ASSERT_TRUE(writeFile(folder + '/' + log, "line\n"));
        // A link and a folder with old log names, a link's target, another file.
        ASSERT_TRUE(writeFile(folder + "/../target-" + QFileInfo(folder).fileName(), "precious"));
        ASSERT_TRUE(
            QFile::link(folder + "/../target-" + QFileInfo(folder).fileName(), folder + "/Quorbel-2000-01-01-000000.log"));
        ASSERT_TRUE(QDir().mkpath(folder + "/Quorbel-2000-01-02-000000.log"));
        ASSERT_TRUE(writeFile(folder + "/notes.txt", "notes"));
        const QStringList before = remaining(folder);

        QString error;
        const QStringList removed = names(
            pruneLogFiles(folder, QStringLiteral("Quorbel"), c.keep, QByteArray(c.inUse), &error));
        EXPECT_TRUE(error.isEmpty()) << c.what;
        QStringList expectedRemoved = c.removed;
        EXPECT_EQ(removed, expectedRemoved) << c.what;
        QStringList expectedLeft = before;
        for (const QString& name : c.removed)
            expectedLeft.removeAll(name);
        EXPECT_EQ(remaining(folder), expectedLeft) << c.what;
        EXPECT_EQ(readFile(folder + "/../target-" + QFileInfo(folder).fileName()), "precious") << c.what;
        QFile::remove(folder + "/../target-" + QFileInfo(folder).fileName());
    }
}

TEST(LogFilePruning, AFolderThatIsALinkIsNotPruned)
{
    QTemporaryDir dir;
    const QString real = dir.path() + "/real";
    ASSERT_TRUE(writeFile(real + "/Quorbel-2020-01-01-000000.log", "old"));
    ASSERT_TRUE(writeFile(real + "/Quorbel-2020-01-02-000000.log", "new"));
    ASSERT_TRUE(QFile::link(real, dir.path() + "/linked"));
    QString error;
    EXPECT_TRUE(pruneLogFiles(dir.path() + "/linked", QStringLiteral("Quorbel"), 1, {}, &error).isEmpty());
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(remaining(real).size(), 2);
}

TEST(LogFilePruning, TheSettingDecidesAndOnlyAWholeNumberOfAtLeastOnePrunes)
{
    const struct {
        const char* what;
        QVariant value; // invalid: unset
        int left;
    } cases[] = {
        {"unset keeps every file", QVariant(), 4},
        {"two", QVariant(qint64(2)), 2},
        {"a number as text", QVariant(QStringLiteral("3")), 3},
        {"zero is refused", QVariant(qint64(0)), 4},
        {"negative is refused", QVariant(qint64(-1)), 4},
        {"words are refused", QVariant(QStringLiteral("few")), 4},
        {"a fraction is refused", QVariant(2.5), 4},
    };
    for (const auto& c : cases) {
        ScratchHome home;
        const QString folder = home.path("logs");
        for (const char* stamp : {"2020-01-01-000000", "2020-01-02-000000", "2020-01-03-000000", "2020-01-04-000000"})
            ASSERT_TRUE(writeFile(folder + "/Quorbel-" + stamp + ".log", "line\n"));
        if (c.value.isValid()) {
            ASSERT_TRUE(platform::UserDefaults::standardUserDefaults().setObject(c.value, QStringLiteral("LogFilesToKeep")));
        }
        pruneLogFilesIfAsked(folder + "/Quorbel-2020-01-04-000000.log", QStringLiteral("Quorbel"));
        EXPECT_EQ(remaining(folder).size(), c.left) << c.what;
        EXPECT_TRUE(QFileInfo::exists(folder + "/Quorbel-2020-01-04-000000.log")) << c.what;
    }
}

} // namespace
