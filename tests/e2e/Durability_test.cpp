// Whole runs that end badly or unusually: whatever the launcher logged must be
// in its log file, its children must not hold that file, and a reader that
// went away must not stop the launch.

#include "LauncherRun.h"
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <unistd.h>

using namespace testing_support;

namespace {

QString coreExecutable(const LauncherRun& run)
{
    return run.resources() + QStringLiteral("/QuorbelCore.app/Contents/MacOS/QuorbelCore");
}

// "(tag) message" of every line of the launcher's newest log file.
QStringList taggedMessages(const LauncherRun& run)
{
    static const QRegularExpression line(QStringLiteral(R"(^\S+ \S+ \S+\[\d+\] \((ERR|nrm|vrb|dtl)\) \[[^\]]*\] (.*)$)"));
    QStringList messages;
    for (const QString& text : run.logLines()) {
        const auto match = line.match(text);
        messages.append(match.hasMatch() ? u'(' + match.captured(1) + QStringLiteral(") ") + match.captured(2) : text);
    }
    return messages;
}

void removeLauncherLogs(const LauncherRun& run)
{
    QDir(run.home() + QStringLiteral("/Library/Logs/Quorbel/Quorbel")).removeRecursively();
}

bool waitFor(const std::function<bool()>& condition, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QThread::msleep(20);
    }
    return true;
}

// Process ids whose executable is `path`.
QList<qint64> processesRunning(const QString& path)
{
    QList<qint64> pids;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (isPid && QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(entry)) == path)
            pids.append(pid);
    }
    return pids;
}

const QString kAlertLine = QStringLiteral("(nrm) Letting other copy run, we will terminate");

} // namespace

TEST(Durability, KilledWhileTheAlreadyRunningAlertWaitsTheLogKeepsWhatCameBefore)
{
    LauncherRun run;
    run.setUserDefaults({{QStringLiteral("FileLogging"), QStringLiteral("detailed")}});
    QProcess core;
    QProcessEnvironment coreEnvironment = run.environment();
    coreEnvironment.insert(QStringLiteral("QUORBEL_CORE_KEEP_RUNNING"), QStringLiteral("1"));
    core.setProcessEnvironment(coreEnvironment);
    core.start(coreExecutable(run), {});
    ASSERT_TRUE(core.waitForStarted());
    ASSERT_TRUE(waitFor([&] { return run.coreLog(0).join(u'\n').contains(QStringLiteral("started")); }, 5000));

    // What a launch logs up to the alert, from one that is answered.
    run.environment().insert(QStringLiteral("QUORBEL_ALERT_ANSWER"), QStringLiteral("Quit"));
    ASSERT_EQ(run.run(), 0) << run.standardError().toStdString();
    QStringList expected = taggedMessages(run);
    ASSERT_TRUE(expected.contains(kAlertLine)) << expected.join(u'\n').toStdString();
    expected = expected.mid(0, expected.indexOf(kAlertLine) + 1);
    ASSERT_FALSE(expected.filter(QRegularExpression(QStringLiteral(R"(^\((vrb|dtl)\) )"))).isEmpty());
    run.environment().remove(QStringLiteral("QUORBEL_ALERT_ANSWER"));

    struct Case {
        int signalNumber;
        bool keepsBufferedLevels;
    } cases[] = {{SIGTERM, true}, {SIGINT, true}, {SIGHUP, true}, {SIGKILL, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(strsignal(c.signalNumber));
        removeLauncherLogs(run);
        QProcess launcher;
        launcher.setProcessEnvironment(run.environment());
        launcher.setChildProcessModifier([] {
            for (const int s : {SIGTERM, SIGINT, SIGHUP})
                ::signal(s, SIG_DFL); // not ignored as a background job's would be
        });
        launcher.start(run.executable(), {});
        ASSERT_TRUE(launcher.waitForStarted());
        // The alert's line is in the file as soon as it is logged.
        EXPECT_TRUE(waitFor([&] { return taggedMessages(run).contains(kAlertLine); }, 15000));
        QThread::msleep(300);
        ::kill(pid_t(launcher.processId()), c.signalNumber);
        ASSERT_TRUE(launcher.waitForFinished(10000));
        EXPECT_EQ(launcher.exitStatus(), QProcess::CrashExit);

        QStringList kept = taggedMessages(run);
        QStringList wanted = expected;
        if (!c.keepsBufferedLevels) {
            kept = kept.filter(QRegularExpression(QStringLiteral(R"(^\((nrm|ERR)\) )")));
            wanted = wanted.filter(QRegularExpression(QStringLiteral(R"(^\((nrm|ERR)\) )")));
        }
        EXPECT_EQ(kept, wanted);
    }
    core.terminate();
    core.waitForFinished(5000);
}

TEST(Durability, TheStartedCoreHoldsNoDescriptorToTheLaunchersLog)
{
    LauncherRun run;
    run.environment().insert(QStringLiteral("QUORBEL_CORE_KEEP_RUNNING"), QStringLiteral("1"));
    ASSERT_EQ(run.run(), 0) << run.standardError().toStdString();
    QList<qint64> cores;
    ASSERT_TRUE(waitFor([&] { return !(cores = processesRunning(coreExecutable(run))).isEmpty(); }, 5000));
    const QString log = run.logFile();
    ASSERT_FALSE(log.isEmpty());
    for (const qint64 pid : cores) {
        const QString folder = QStringLiteral("/proc/%1/fd").arg(pid);
        for (const QString& fd : QDir(folder).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot))
            EXPECT_NE(QFile::symLinkTarget(folder + u'/' + fd), log) << "descriptor " << fd.toStdString();
        ::kill(pid_t(pid), SIGTERM);
    }
}

TEST(Durability, WithStandardOutputsReaderGoneTheLaunchStillStartsTheCore)
{
    LauncherRun run;
    run.setUserDefaults({{QStringLiteral("StdioLogging"), QStringLiteral("detailed")}});
    run.setChildSetup([] {
        int fds[2];
        if (::pipe(fds) == 0) {
            ::close(fds[0]);
            ::dup2(fds[1], STDOUT_FILENO);
            ::close(fds[1]);
        }
    });
    ASSERT_EQ(run.run(), 0) << run.standardError().toStdString();
    const QStringList coreLog = run.coreLog();
    ASSERT_FALSE(coreLog.isEmpty());
    EXPECT_TRUE(coreLog.last().endsWith(QStringLiteral("QuorbelCore started")));
    EXPECT_TRUE(run.normalMessages().contains(QStringLiteral("Will terminate now")));
}
