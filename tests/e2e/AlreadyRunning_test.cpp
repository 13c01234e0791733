// The launcher started beside a running core: it must refuse, tell the user
// and end without moving itself or checking the installation.

#include "FileManager.h"
#include "LauncherRun.h"
#include "QtPrinters.h"
#include "TestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QThread>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace testing_support;

namespace {

QProcessEnvironment environmentFor(const ScratchHome& home)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home.home());
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.home() + QStringLiteral("/.config"));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home.home() + QStringLiteral("/.local/share"));
    environment.insert(QStringLiteral("QUORBEL_SYSTEM_ROOT"), home.systemRoot());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("LANG"), QStringLiteral("en_US.UTF-8"));
    return environment;
}

// The launcher's own log file (the core logs elsewhere).
QString launcherLogFile(const QString& home)
{
    QDirIterator logs(home + QStringLiteral("/Library/Logs/Quorbel/Quorbel"), {QStringLiteral("Quorbel-*.log")}, QDir::Files);
    return logs.hasNext() ? logs.next() : QString();
}

QStringList messagesOf(const QString& logFile)
{
    static const QRegularExpression prefix(QStringLiteral(R"(^\S+ \S+ \S+\[\d+\] \((?:ERR|nrm|vrb|dtl)\) \[[^\]]*\] )"));
    QStringList messages;
    for (QString line : QString::fromUtf8(readFile(logFile)).split(u'\n', Qt::SkipEmptyParts))
        messages.append(line.remove(prefix));
    return messages;
}

} // namespace

TEST(AlreadyRunning, LauncherBesideARunningCoreShowsTheAlertAndEndsAfterQuit)
{
    ScratchHome home;
    const QString bundle = home.path(QStringLiteral("Downloads/Quorbel.app"));
    QDir().mkpath(home.path(QStringLiteral("Downloads")));
    ASSERT_TRUE(platform::files::copyItem(QStringLiteral(QB_BUNDLE_DIR), bundle));

    QProcess core;
    QProcessEnvironment coreEnvironment = environmentFor(home);
    coreEnvironment.insert(QStringLiteral("QUORBEL_CORE_KEEP_RUNNING"), QStringLiteral("1"));
    core.setProcessEnvironment(coreEnvironment);
    core.start(bundle + QStringLiteral("/Contents/Resources/QuorbelCore.app/Contents/MacOS/QuorbelCore"), {});
    ASSERT_TRUE(core.waitForStarted());
    const QString coreLog = home.home() + QStringLiteral("/Library/Logs/Quorbel/QuorbelCore/QuorbelCore.log");
    for (int i = 0; i < 500 && !readFile(coreLog).contains("started"); ++i)
        QThread::msleep(10);

    QProcess launcher;
    QProcessEnvironment launcherEnvironment = environmentFor(home);
    launcherEnvironment.insert(QStringLiteral("QUORBEL_ALERT_ANSWER"), QStringLiteral("Quit"));
    launcher.setProcessEnvironment(launcherEnvironment);
    launcher.start(bundle + QStringLiteral("/Contents/MacOS/Quorbel"), {});
    ASSERT_TRUE(launcher.waitForStarted());
    const bool ended = launcher.waitForFinished(60000);
    if (!ended)
        launcher.kill();
    const QString errors = QString::fromUtf8(launcher.readAllStandardError());
    ASSERT_TRUE(ended) << errors.toStdString();
    EXPECT_EQ(launcher.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(launcher.exitCode(), 0);

    // The alert was shown with its texts and answered once; no other alert (no move offer).
    const QStringList alerts = errors.split(u'\n').filter(QStringLiteral("Unattended alert:"));
    EXPECT_EQ(alerts, QStringList{QStringLiteral("Unattended alert: \"Quorbel is already running\" \"Another copy of Quorbel "
                                                 "is running. Quit it before starting Quorbel again.\" answered \"Quit\"")});

    const QStringList messages = messagesOf(launcherLogFile(home.home()));
    const qsizetype letting = messages.indexOf(QStringLiteral("Letting other copy run, we will terminate"));
    ASSERT_GE(letting, 0) << messages.join(u'\n').toStdString();
    const qsizetype begun = messages.indexOf(QStringLiteral("Quorbel did begin launching..."));
    ASSERT_GE(begun, 0);
    ASSERT_LT(begun, letting);
    // Only the process check's own lines come between.
    for (const QString& message : messages.mid(begun + 1, letting - begun - 1))
        EXPECT_TRUE(message.startsWith(QStringLiteral("Process check"))) << message.toStdString();
    EXPECT_EQ(messages.mid(letting + 1), QStringList{QStringLiteral("User did quit")});

    // The running core was left alone and no second one was started.
    EXPECT_EQ(core.state(), QProcess::Running);
    EXPECT_EQ(readFile(coreLog).count("QuorbelCore started"), 1);
    EXPECT_FALSE(QDir(home.systemRoot() + QStringLiteral("/Applications/Quorbel.app")).exists());
    core.terminate();
    EXPECT_TRUE(core.waitForFinished(5000));
}

namespace {

// Every launcher log of the run's home, each file's messages.
QList<QStringList> allLauncherLogs(const QString& home)
{
    QList<QStringList> logs;
    QDirIterator files(home + QStringLiteral("/Library/Logs/Quorbel/Quorbel"), {QStringLiteral("Quorbel-*.log")},
                       QDir::Files);
    while (files.hasNext())
        logs.append(messagesOf(files.next()));
    return logs;
}

bool waitForMessage(const QString& logFile, const QString& start, int timeoutMs)
{
    for (int waited = 0; waited < timeoutMs; waited += 20) {
        if (!messagesOf(logFile).filter(QRegularExpression(QStringLiteral("^") + QRegularExpression::escape(start))).isEmpty())
            return true;
        QThread::msleep(20);
    }
    return false;
}

} // namespace

TEST(OneLauncher, ASecondLauncherHandsOverToTheFirstWhoseCheckWindowWaits)
{
    LauncherRun run;
    // A core that is not 0755 needs the check window, which waits for the user.
    ASSERT_EQ(::chmod(QFile::encodeName(run.resources() + "/QuorbelCore.app").constData(), 0775), 0);
    QProcess first;
    first.setProcessEnvironment(run.environment());
    first.start(run.executable(), {});
    ASSERT_TRUE(first.waitForStarted());
    const auto stopFirst = qScopeGuard([&first] {
        first.terminate();
        if (!first.waitForFinished(5000))
            first.kill();
    });
    const auto firstLog = [&run] {
        for (int waited = 0; waited < 20000 && run.logFile().isEmpty(); waited += 20)
            QThread::msleep(20);
        return run.logFile();
    }();
    ASSERT_TRUE(waitForMessage(firstLog, QStringLiteral("Install check: items not in order"), 20000));

    ASSERT_EQ(run.run(20000), 0) << run.standardError().toStdString();
    EXPECT_TRUE(waitForMessage(
        firstLog, QStringLiteral("Another launcher was started; brought this one's window to the front"), 10000))
        << messagesOf(firstLog).join(u'\n').toStdString();
    EXPECT_EQ(first.state(), QProcess::Running);

    // The second ended without a window or a core of its own (both may share a log file).
    QStringList messages;
    for (const QStringList& log : allLauncherLogs(run.home()))
        messages += log;
    EXPECT_EQ(messages.filter(QStringLiteral("Another launcher is running")).size(), 1) << messages.join(u'\n').toStdString();
    EXPECT_EQ(messages.filter(QStringLiteral("showing the check window")).size(), 1) << messages.join(u'\n').toStdString();
    EXPECT_TRUE(messages.filter(QStringLiteral("Launching")).isEmpty());
    EXPECT_TRUE(run.coreLog(300).isEmpty());
}
