// Whole runs of the launcher on the assembled sample bundle.

#include "LauncherRun.h"
#include "PropertyList.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <functional>
#include <sys/stat.h>

using namespace testing_support;

namespace {

QString coreExecutable(const LauncherRun& run)
{
    return run.resources() + QStringLiteral("/QuorbelCore.app/Contents/MacOS/QuorbelCore");
}

void expectStartedTheCore(const LauncherRun& run)
{
    const QStringList messages = run.normalMessages();
    const QString core = coreExecutable(run);
    const QStringList tail{QStringLiteral("Launching \"%1\"...").arg(core), QStringLiteral("Launched \"%1\"").arg(core),
                           QStringLiteral("Will terminate now")};
    ASSERT_GE(messages.size(), 3);
    EXPECT_EQ(messages.mid(messages.size() - 3), tail);
    const QStringList coreLog = run.coreLog();
    ASSERT_FALSE(coreLog.isEmpty());
    EXPECT_TRUE(coreLog.last().endsWith(QStringLiteral("QuorbelCore started")));
}

} // namespace

TEST(LaunchSequence, LogsTheSequenceInOrderAndStartsTheCore)
{
    LauncherRun run;
    ASSERT_EQ(run.run(), 0) << run.standardError().toStdString();
    static const QRegularExpression fileName(
        QStringLiteral(R"(/Library/Logs/Quorbel/Quorbel/Quorbel-\d{4}-\d\d-\d\d-\d{6}\.log$)"));
    EXPECT_TRUE(fileName.match(run.logFile()).hasMatch()) << run.logFile().toStdString();
    const QString core = coreExecutable(run);
    EXPECT_EQ(run.normalMessages(), QStringList({
                                        QStringLiteral("Quorbel version 1.19.0 (5)"),
                                        QStringLiteral("Quorbel did begin launching..."),
                                        QStringLiteral("Quorbel did finish launching"),
                                        QStringLiteral("Launching \"%1\"...").arg(core),
                                        QStringLiteral("Launched \"%1\"").arg(core),
                                        QStringLiteral("Will terminate now"),
                                    }));
    static const QRegularExpression layout(QStringLiteral(
        R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{4} Quorbel\[\d+\] \((ERR|nrm|vrb|dtl)\) \[0x[0-9a-f]+\] \S.*$)"));
    for (const QString& line : run.logLines())
        EXPECT_TRUE(layout.match(line).hasMatch()) << line.toStdString();
    expectStartedTheCore(run);
}

TEST(LaunchSequence, SurvivesMissingOrDamagedConfigurationAndSaysWhy)
{
    struct Case {
        const char* file;
        QByteArray contents; // empty: remove the file
        const char* expected;
    } cases[] = {
        {"Config.plist", {}, "Config.plist is missing from the resources; using no configuration"},
        {"Config.plist", "<plist><dict><key>Brand", "Config.plist is unreadable"},
        {"Defaults.plist", {}, "Defaults.plist is missing from the resources; using built-in logging defaults"},
        {"Defaults.plist", "junk \x01 junk", "Defaults.plist is unreadable"},
        {"en.lproj/Localizable.strings", "\"ProductName\" = \"Quorbel\"\n\"x\" = ", "Cannot use the strings table"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        LauncherRun run;
        const QString path = run.resources() + u'/' + QLatin1String(c.file);
        if (c.contents.isEmpty())
            QFile::remove(path);
        else
            writeFile(path, c.contents);
        const bool strings = QLatin1String(c.file) == QLatin1String("en.lproj/Localizable.strings");
        // Without its table the product is named "ProductName": no such core exists to start.
        if (strings)
            run.environment().insert(QStringLiteral("QUORBEL_ALERT_ANSWER"), QStringLiteral("OK"));
        ASSERT_EQ(run.run(), strings ? 7 : 0) << run.standardError().toStdString();
        const QString all = run.logLines().join(u'\n') + run.standardError();
        EXPECT_TRUE(all.contains(QLatin1String(c.expected))) << all.toStdString();
        if (QLatin1String(c.file) != QLatin1String("en.lproj/Localizable.strings"))
            expectStartedTheCore(run);
    }
}

TEST(LaunchSequence, AGarbageInfoPlistFallsBackToTheDefaultVersion)
{
    LauncherRun run;
    writeFile(run.bundle() + QStringLiteral("/Contents/Info.plist"), "garbage");
    ASSERT_EQ(run.run(), 0) << run.standardError().toStdString();
    EXPECT_TRUE(run.normalMessages().contains(QStringLiteral("Quorbel version 1.19.0 (5)")));
    EXPECT_TRUE(run.logLines().join(u'\n').contains(QStringLiteral("Info.plist: not a property list")));
    expectStartedTheCore(run);
}

TEST(LaunchSequence, HostilePropertyListsAreRefusedAndTheLaunchGoesOn)
{
    const QByteArray deep = "<?xml version=\"1.0\"?><plist version=\"1.0\">" + QByteArray("<array>").repeated(50000)
                            + QByteArray("</array>").repeated(50000) + "</plist>";
    // An unrelated bundle in the user's Applications folder, met by the search for earlier copies.
    const auto otherInfo = [](LauncherRun& run) {
        const QString contents = run.home() + QStringLiteral("/Applications/Other.app/Contents");
        QDir().mkpath(contents);
        return contents + QStringLiteral("/Info.plist");
    };
    struct Case {
        const char* what;
        std::function<bool(LauncherRun&)> prepare;
        const char* expected;
    };
    const QList<Case> cases{
        {"the bundle's Info.plist nested 50,000 deep",
         [&](LauncherRun& run) { return writeFile(run.bundle() + QStringLiteral("/Contents/Info.plist"), deep); },
         "Info.plist: refused: arrays and dictionaries nested deeper than 512 levels"},
        {"a FIFO Info.plist in ~/Applications",
         [&](LauncherRun& run) { return ::mkfifo(QFile::encodeName(otherInfo(run)).constData(), 0644) == 0; },
         "Other.app/Contents/Info.plist\" in the search for earlier copies: not a regular file"},
        {"an Info.plist in ~/Applications linked to /dev/zero",
         [&](LauncherRun& run) { return QFile::link(QStringLiteral("/dev/zero"), otherInfo(run)); },
         "Other.app/Contents/Info.plist\" in the search for earlier copies: the file is a symbolic link"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LauncherRun run;
        ASSERT_TRUE(c.prepare(run));
        ASSERT_EQ(run.run(), 0) << run.standardError().toStdString();
        const QString log = run.logLines().join(u'\n');
        EXPECT_TRUE(log.contains(QLatin1String(c.expected))) << log.toStdString();
        expectStartedTheCore(run);
    }
}

TEST(LaunchSequence, ALevelSettingThatNamesNoLevelIsReportedNotFatal)
{
    const struct {
        QVariant value;
        const char* described;
    } cases[] = {
        {QStringLiteral("Verbose"), "\"Verbose\""},
        {QStringLiteral(""), "\"\""},
        {QVariantList{QStringLiteral("detailed")}, "an array"},
        {QVariantMap{{QStringLiteral("level"), QStringLiteral("detailed")}}, "a dictionary"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.described);
        LauncherRun run;
        run.setUserDefaults({{QStringLiteral("FileLogging"), c.value}});
        ASSERT_EQ(run.run(), 0) << run.standardError().toStdString();
        // The registered default takes its place.
        const QString registered = platform::readPropertyListDictionary(run.resources() + QStringLiteral("/Defaults.plist"))
                                       .value(QStringLiteral("FileLogging"))
                                       .toString();
        ASSERT_FALSE(registered.isEmpty());
        const QString line = QStringLiteral("Invalid logging level %1 for \"FileLogging\" in the user defaults; using \"%2\"")
                                 .arg(QLatin1String(c.described), registered);
        EXPECT_TRUE(run.logLines().join(u'\n').contains(line)) << run.logLines().join(u'\n').toStdString();
        expectStartedTheCore(run);
    }
}

TEST(LaunchSequence, ACoreThatCannotStartIsReportedAndTheLaunchFails)
{
    struct Case {
        const char* name;
        const char* damage; // a resource replaced by garbage
        bool isTheCore;
    } cases[] = {
        {"a core that is no program", "QuorbelCore.app/Contents/MacOS/QuorbelCore", true},
        {"unusable strings table", "en.lproj/Localizable.strings", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LauncherRun run;
        writeFile(run.resources() + u'/' + QLatin1String(c.damage), "\"ProductName\" = ", 0755);
        run.environment().insert(QStringLiteral("QUORBEL_ALERT_ANSWER"), QStringLiteral("OK"));
        EXPECT_EQ(run.run(), 7) << run.standardError().toStdString();
        const QStringList alerts = run.standardError().split(u'\n').filter(QStringLiteral("Unattended alert:"));
        ASSERT_EQ(alerts.size(), 1) << run.standardError().toStdString();
        EXPECT_TRUE(alerts.first().contains(QStringLiteral("cannot start"))) << alerts.first().toStdString();
        EXPECT_TRUE(alerts.first().contains(QStringLiteral("Core.app/Contents/MacOS/"))) << alerts.first().toStdString();
        if (c.isTheCore) {
            const QStringList messages = run.normalMessages();
            // Nothing claims a start that did not happen.
            EXPECT_TRUE(messages.filter(QRegularExpression(QStringLiteral("^Launched \""))).isEmpty());
            EXPECT_EQ(messages.value(messages.size() - 1), QStringLiteral("Will terminate now"));
        }
    }
}

TEST(LaunchSequence, ALauncherWhosePathNamesAnEarlierClientDoesNotFindItself)
{
    for (const char* folder : {"/Applications/Quorbel Mac", "/Applications/QuorbelCore Tools"}) {
        SCOPED_TRACE(folder);
        LauncherRun run{QString::fromLatin1(folder)};
        run.environment().insert(QStringLiteral("QUORBEL_ALERT_ANSWER"), QStringLiteral("Quit"));
        ASSERT_EQ(run.run(), 0) << run.standardError().toStdString();
        EXPECT_FALSE(run.standardError().contains(QStringLiteral("Unattended alert:"))) << run.standardError().toStdString();
        expectStartedTheCore(run);
    }
}

TEST(LaunchSequence, AnUnwritableLogFolderStillStartsTheCore)
{
    LauncherRun run;
    writeFile(run.home() + QStringLiteral("/Library/Logs"), "a file where the folder should be");
    ASSERT_EQ(run.run(), 0) << run.standardError().toStdString();
    EXPECT_TRUE(run.standardError().contains(QStringLiteral("Not a directory"))) << run.standardError().toStdString();
    EXPECT_TRUE(run.standardError().contains(QStringLiteral("Logging to the terminal only")));
}
