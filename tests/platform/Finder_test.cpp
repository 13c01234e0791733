#include "Finder.h"

#include "SystemLocations.h"
#include "TestSupport.h"
#include "Workspace.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

using namespace testing_support;

namespace {

QList<qint64> fileManagerPids()
{
    QList<qint64> pids;
    for (const auto& app : platform::workspace::launchedApplications()) {
        if (app.bundleIdentifier == platform::finder::bundleIdentifier())
            pids.append(app.pid);
    }
    return pids;
}

QList<qint64> waitForFileManagers(qsizetype count)
{
    QDeadlineTimer limit(5000);
    QList<qint64> pids = fileManagerPids();
    while (pids.size() != count && !limit.hasExpired()) {
        QThread::msleep(10);
        pids = fileManagerPids();
    }
    return pids;
}

} // namespace

TEST(Finder, InAScratchTreeOnlyAFinderBundleIsFinder)
{
    ScratchHome home;
    EXPECT_EQ(platform::finder::applicationPath(), home.systemRoot() + "/System/Library/CoreServices/Finder.app");
    EXPECT_TRUE(platform::finder::isApplicationPath(home.systemRoot() + "/System/Library/CoreServices/Finder.app/"));
    EXPECT_TRUE(platform::finder::runningFileManagers().isEmpty());
    // No Finder and no file manager to restart: nothing to start, and that is no failure.
    EXPECT_EQ(platform::finder::fileManagersAwaitingRestart(), 0);
    EXPECT_TRUE(platform::workspace::launchApplication(platform::finder::applicationPath()));
    // A Finder bundle that cannot start is a failure.
    makeBundle(platform::finder::applicationPath(), {{"CFBundleIdentifier", "com.apple.finder"}});
    EXPECT_FALSE(platform::workspace::launchApplication(platform::finder::applicationPath()));
}

TEST(Finder, OnTheDesktopTheFileManagerIsQuitAndRestartedWithItsCommandLine)
{
    platform::locations::setSystemRoot(QString());
    if (!platform::finder::runningFileManagers().isEmpty())
        GTEST_SKIP() << "a file manager of this user runs; the test would restart it";
    QTemporaryDir folder;
    const QString fakeFileManager = folder.filePath("nautilus");
    ASSERT_TRUE(QFile::copy("/bin/sleep", fakeFileManager));

    QProcess first;
    first.start(fakeFileManager, {"30"});
    ASSERT_TRUE(first.waitForStarted());
    const QList<qint64> running = waitForFileManagers(1);
    ASSERT_EQ(running, QList<qint64>{first.processId()});
    const auto app = platform::finder::runningFileManagers().first();
    EXPECT_EQ(app.bundlePath, platform::finder::applicationPath());
    EXPECT_EQ(app.executablePath, fakeFileManager);

    EXPECT_EQ(platform::workspace::quitApplication(platform::finder::bundleIdentifier()), 0);
    EXPECT_TRUE(first.waitForFinished(5000));
    EXPECT_EQ(platform::finder::fileManagersAwaitingRestart(), 1);

    EXPECT_TRUE(platform::workspace::launchApplication(platform::finder::applicationPath()));
    EXPECT_EQ(platform::finder::fileManagersAwaitingRestart(), 0);
    const QList<qint64> restarted = waitForFileManagers(1);
    ASSERT_EQ(restarted.size(), 1);
    QFile commandLine(QStringLiteral("/proc/%1/cmdline").arg(restarted.first()));
    ASSERT_TRUE(commandLine.open(QIODevice::ReadOnly));
    EXPECT_TRUE(commandLine.readAll().endsWith(QByteArray("nautilus\0"
                                                          "30\0",
                                                          12)));
    ::kill(pid_t(restarted.first()), SIGKILL);
}
