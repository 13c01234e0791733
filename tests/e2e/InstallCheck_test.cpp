// Whole runs of the launcher whose installation check passes or fails.

#include "LauncherRun.h"
#include "TestSupport.h"

#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace testing_support;

namespace {

void writeManifest(const LauncherRun& run)
{
    const QVariantList items{
        QVariantMap{{"Type", "CoreApp"}, {"Name", "QuorbelCore"}, {"Resource", "QuorbelCore.app"}},
        QVariantMap{{"Type", "Framework"},
                    {"Name", "Growl"},
                    {"InstallPath", run.root() + "/Library/Frameworks/Growl.framework"},
                    {"Installer", "Growl.pkg"}},
        QVariantMap{{"Type", "Screensaver"}, {"Name", "Unknown"}, {"InstallPath", "/nowhere"}},
    };
    ASSERT_TRUE(writePlist(run.resources() + "/RequiredItems.plist", QVariantMap{{"RequiredItems", items}}));
}

QString messagesOf(const LauncherRun& run)
{
    return run.logLines().join(u'\n');
}

} // namespace

TEST(InstallCheckRun, ASoundInstallationStartsTheCore)
{
    LauncherRun run;
    writeManifest(run);
    ASSERT_EQ(run.run(), 0) << run.standardError().toStdString();
    const QString log = messagesOf(run);
    EXPECT_TRUE(log.contains("Install check: CoreApp \"QuorbelCore\" is \"OK\"")) << log.toStdString();
    EXPECT_TRUE(log.contains("Install check: Framework \"Growl\" is \"OK\""));
    EXPECT_TRUE(log.contains("Install check: Screensaver \"Unknown\" is \"OK\""));
    EXPECT_TRUE(run.normalMessages().contains("Will terminate now"));
    const QStringList coreLog = run.coreLog();
    ASSERT_FALSE(coreLog.isEmpty());
    EXPECT_TRUE(coreLog.last().endsWith("QuorbelCore started"));
}

TEST(InstallCheckRun, ACoreWithWrongPermissionsIsNotStartedAndTheUserMayQuit)
{
    LauncherRun run;
    writeManifest(run);
    run.environment().insert("QUORBEL_CHECK_WINDOW_ANSWER", "Quit");
    const QString core = run.resources() + "/QuorbelCore.app";
    ASSERT_EQ(::chmod(QFile::encodeName(core).constData(), 0775), 0);
    ASSERT_EQ(run.run(), 0) << run.standardError().toStdString();
    const QString log = messagesOf(run);
    EXPECT_TRUE(log.contains("Install check: CoreApp \"QuorbelCore\" is \"Wrong Permissions\"")) << log.toStdString();
    EXPECT_TRUE(log.contains("Install check: items not in order: 1 (update tool repairs: 1); showing the check window"));
    EXPECT_TRUE(run.standardError().contains("Unattended check window: answered \"Quit\""));
    EXPECT_EQ(run.normalMessages().last(), "User chose to quit");
    EXPECT_FALSE(run.normalMessages().contains("Will terminate now"));
    EXPECT_TRUE(run.coreLog(500).isEmpty());
}
