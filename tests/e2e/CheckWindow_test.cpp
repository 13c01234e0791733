// Whole runs of the launcher through its check window, answered as a user
// would (QUORBEL_CHECK_WINDOW_ANSWER, QUORBEL_ALERT_ANSWER), with a stub
// update tool in the scratch system tree.

#include "LauncherRun.h"
#include "QtPrinters.h"
#include "TestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace testing_support;

namespace {

// The update tool: prints the launcher's version when asked without
// arguments, records every command and carries out "repaircore" with chmod,
// unless told to fail it.
QString stubBody(const QString& record, bool failRepairs)
{
    return QStringLiteral("if [ $# -eq 0 ]; then echo '1.19.0 (5)'; exit 0; fi\n"
                          "printf '%s\\n' \"$*\" >> '%1'\n"
                          "if [ \"$1\" = repaircore ]; then %2; fi\n"
                          "exit 0")
        .arg(record, failRepairs ? QStringLiteral("exit 4") : QStringLiteral("chmod 755 \"$2\""));
}

class CheckWindowRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "the update tool must be owned by root and the privileged start needs root here";
    }

    // A manifest of the update tool and the core, the core's mode broken.
    void prepare(bool failRepairs)
    {
        const QString installed = run.root() + QStringLiteral("/Library/Application Support/Quorbel/updateqb");
        const QVariantList items{
            QVariantMap{{"Type", "QBToolRoot"},
                        {"Name", "updateqb"},
                        {"InstallPath", installed},
                        {"Resource", "updateqb"},
                        {"Signature", "updateqb.sig"}},
            QVariantMap{{"Type", "CoreApp"}, {"Name", "QuorbelCore"}, {"Resource", "QuorbelCore.app"}},
        };
        ASSERT_TRUE(writePlist(run.resources() + "/RequiredItems.plist", QVariantMap{{"RequiredItems", items}}));
        const QString body = stubBody(record(), failRepairs);
        makeScript(installed, body);
        ASSERT_EQ(::chmod(QFile::encodeName(installed).constData(), 04755), 0);
        makeScript(run.resources() + "/updateqb", body);
        writeFile(run.resources() + "/updateqb.sig", "signature");
        ASSERT_EQ(::chmod(QFile::encodeName(core()).constData(), 0775), 0);
    }
    QString core() const { return run.resources() + "/QuorbelCore.app"; }
    QString record() const { return run.home() + "/updateqb.argv"; }
    QStringList recorded() const { return QString::fromUtf8(readFile(record())).split(u'\n', Qt::SkipEmptyParts); }
    QString log() const { return run.logLines().join(u'\n'); }

    LauncherRun run;
};

} // namespace

TEST_F(CheckWindowRun, ContinueRepairsTheCoreThroughTheUpdateToolAndStartsIt)
{
    prepare(false);
    run.environment().insert("QUORBEL_CHECK_WINDOW_ANSWER", "Continue");
    ASSERT_EQ(run.run(), 0) << run.standardError().toStdString();
    EXPECT_TRUE(run.standardError().contains("Unattended check window: answered \"Continue\""));
    EXPECT_EQ(recorded(), (QStringList{"repair " + run.resources() + "/updateqb.sig", "repaircore " + core()}));
    const QStringList normal = run.normalMessages();
    EXPECT_TRUE(normal.contains("User chose to repair")) << log().toStdString();
    EXPECT_TRUE(normal.contains("Repair run succeeded"));
    EXPECT_TRUE(normal.contains("Will terminate now"));
    const QStringList coreLog = run.coreLog();
    ASSERT_FALSE(coreLog.isEmpty());
    EXPECT_TRUE(coreLog.last().endsWith("QuorbelCore started"));
}

TEST_F(CheckWindowRun, AFailingToolShowsTheFailureAlertAndTheWindowStaysUntilTheUserQuits)
{
    prepare(true);
    run.environment().insert("QUORBEL_CHECK_WINDOW_ANSWER", "Continue,Quit");
    run.environment().insert("QUORBEL_ALERT_ANSWER", "OK");
    ASSERT_EQ(run.run(), 0) << run.standardError().toStdString();
    const QString errors = run.standardError();
    EXPECT_TRUE(errors.contains("Unattended alert: \"The repair did not succeed\"")) << errors.toStdString();
    EXPECT_LT(errors.indexOf("Unattended alert"), errors.indexOf("answered \"Quit\"")) << errors.toStdString();
    const QStringList normal = run.normalMessages();
    EXPECT_TRUE(normal.contains("Repair run failed")) << log().toStdString();
    EXPECT_EQ(normal.last(), "User chose to quit");
    EXPECT_FALSE(normal.contains("Will terminate now"));
    EXPECT_TRUE(run.coreLog(500).isEmpty());
}
