// The launcher started beside a running core: it must refuse, tell the user
// and end without moving itself or checking the installation.

#include "Desktop.h"
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

} // namespace

// Under Xvfb with openbox: the first launcher's check window, minimised by
// the user, comes back to the front when the client is opened again.
TEST(OneLauncher, ASecondLauncherHandsOverToTheFirstWhoseCheckWindowWaits)
{
    QB_START_X11_DESKTOP(desktop);
    LauncherRun run;
    desktop->enter(run.environment());
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
    ASSERT_TRUE(waitUntil([&] { return desktop->windowsOf(first.processId()).size() == 1; }, 20000));
    const QString window = desktop->windowsOf(first.processId()).constFirst();
    // Asked again until it holds: a request sent while the manager still maps the window is lost.
    ASSERT_TRUE(waitUntil([&] {
        desktop->tool("xdotool", {"windowminimize", window});
        return desktop->windowsOf(first.processId()).isEmpty();
    }));

    ASSERT_EQ(run.run(20000), 0) << run.standardError().toStdString();
    // Shown again, the topmost of the screen's windows, and the only one of either launcher.
    EXPECT_TRUE(waitUntil([&] {
        const QString stacking = desktop->tool("xprop", {"-root", "_NET_CLIENT_LIST_STACKING"}).trimmed();
        return desktop->windowsOf(first.processId()) == QStringList{window} && stacking.endsWith(window);
    })) << desktop->tool("xprop", {"-root", "_NET_CLIENT_LIST_STACKING"}).toStdString();
    EXPECT_EQ(desktop->tool("xprop", {"-root", "_NET_CLIENT_LIST"}).count("0x"), 1);
    EXPECT_EQ(first.state(), QProcess::Running);

    // The second ended without a window or a core of its own (both may share a log file).
    QStringList messages;
    for (const QStringList& log : allLauncherLogs(run.home()))
        messages += log;
    EXPECT_EQ(messages.filter(QStringLiteral("Another launcher is running")).size(), 1) << messages.join(u'\n').toStdString();
    EXPECT_EQ(messages.filter(QStringLiteral("brought this one's window to the front")).size(), 1)
        << messages.join(u'\n').toStdString();
    EXPECT_EQ(messages.filter(QStringLiteral("showing the check window")).size(), 1) << messages.join(u'\n').toStdString();
    EXPECT_TRUE(messages.filter(QStringLiteral("Launching")).isEmpty());
    EXPECT_TRUE(run.coreLog(300).isEmpty());
}
