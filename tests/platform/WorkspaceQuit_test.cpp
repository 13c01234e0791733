#include "Workspace.h"

#include "TestSupport.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

using namespace testing_support;

namespace {

bool appears(const QString& identifier, bool wanted)
{
    QDeadlineTimer limit(5000);
    for (;;) {
        bool running = false;
        for (const auto& app : platform::workspace::launchedApplications())
            running = running || app.bundleIdentifier == identifier;
        if (running == wanted || limit.hasExpired())
            return running == wanted;
        QThread::msleep(10);
    }
}

} // namespace

TEST(WorkspaceQuit, SendsTermToEveryProcessOfTheBundleOnly)
{
    ScratchHome home;
    const QString bundle = makeBundle(home.path(QStringLiteral("Sleeper.app")),
                                      {{QStringLiteral("CFBundleIdentifier"), QStringLiteral("com.quorbel.test.sleeper")}});
    const QString executable = bundle + QStringLiteral("/Contents/MacOS/sleep");
    ASSERT_TRUE(QFile::copy(QStringLiteral("/bin/sleep"), executable));
    QProcess first, second;
    first.start(executable, {QStringLiteral("30")});
    second.start(executable, {QStringLiteral("30")});
    ASSERT_TRUE(first.waitForStarted() && second.waitForStarted());
    ASSERT_TRUE(appears(QStringLiteral("com.quorbel.test.sleeper"), true));

    EXPECT_EQ(platform::workspace::quitApplication(QStringLiteral("com.quorbel.test.other")),
              platform::workspace::procNotFound);
    EXPECT_EQ(platform::workspace::quitApplication(QString()), platform::workspace::procNotFound);
    EXPECT_EQ(platform::workspace::quitApplication(QStringLiteral("com.quorbel.test.sleeper")), 0);

    EXPECT_TRUE(first.waitForFinished(5000));
    EXPECT_TRUE(second.waitForFinished(5000));
    EXPECT_EQ(first.exitStatus(), QProcess::CrashExit); // ended by the signal
    EXPECT_TRUE(appears(QStringLiteral("com.quorbel.test.sleeper"), false));
}
