#include "ProcessControl.h"

#include "Bundle.h"
#include "Configuration.h"
#include "QtPrinters.h"
#include "TestSupport.h"
#include "UUIDString.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

using namespace testing_support;

namespace {

// A process whose executable lies in an application bundle of its own.
class BundleProcess {
public:
    // `ignoreTerm`: the process ignores SIGTERM (the ignored disposition survives exec).
    BundleProcess(const ScratchHome& home, const QString& executable, const QStringList& arguments, bool ignoreTerm)
        : m_identifier(QStringLiteral("com.quorbel.test.") + UUIDString())
    {
        const QString bundle = makeBundle(home.path(m_identifier + QStringLiteral(".app")),
                                          {{QStringLiteral("CFBundleIdentifier"), m_identifier}});
        const QString copy = bundle + QStringLiteral("/Contents/MacOS/") + QFileInfo(executable).fileName();
        QFile::copy(executable, copy);
        QFile::setPermissions(copy, QFile::permissions(executable));
        QString command = QStringLiteral("exec \"$0\" \"$@\"");
        if (ignoreTerm)
            command.prepend(QStringLiteral("trap '' TERM; "));
        m_process.start(QStringLiteral("/bin/sh"), QStringList{QStringLiteral("-c"), command, copy} + arguments);
        m_process.waitForStarted();
        QDeadlineTimer visible(5000);
        while (!isApplicationRunning(m_identifier) && !visible.hasExpired())
            QThread::msleep(10);
    }
    ~BundleProcess()
    {
        m_process.kill();
        m_process.waitForFinished();
    }
    QString identifier() const { return m_identifier; }
    // Ends the process at once, whatever it ignores, and reaps it.
    void killNow()
    {
        m_process.kill();
        m_process.waitForFinished();
    }

private:
    QString m_identifier;
    QProcess m_process;
};

QString sleepExecutable()
{
    return QStringLiteral("/bin/sleep");
}

// Records the pauses instead of sleeping; `onPause` runs at the given pause.
struct FakeSleep {
    QList<double> pauses;
    int actAtPause = 0;
    std::function<void()> act;
    SleepFunction function()
    {
        return [this](double seconds) {
            pauses.append(seconds);
            if (act && pauses.size() == actAtPause)
                act();
        };
    }
};

int waitingLines(const LogCapture& log, const QString& identifier)
{
    return int(log.messages().count(QStringLiteral("Waiting for app with id \"%1\" to quit").arg(identifier)));
}

} // namespace

TEST(QuitApplication, NotRunningAnswersNothingWithoutSending)
{
    ScratchHome home;
    LogCapture log;
    FakeSleep sleep;
    EXPECT_FALSE(quitApplication(QStringLiteral("com.quorbel.test.absent"), true, 4.0, sleep.function()));
    EXPECT_TRUE(sleep.pauses.isEmpty());
    EXPECT_EQ(log.messages(),
              QStringList{QStringLiteral(
                  "Not requesting app with id \"com.quorbel.test.absent\" to quit because it isn't running")});
}

TEST(QuitApplication, StubbornApplicationTimesOutAfterSixPausesAndFiveWaitingLines)
{
    ScratchHome home;
    BundleProcess app(home, sleepExecutable(), {QStringLiteral("30")}, true);
    ASSERT_TRUE(isApplicationRunning(app.identifier()));
    LogCapture log;
    FakeSleep sleep;

    const QBErrorResult error = quitApplication(app.identifier(), true, 4.0, sleep.function());

    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, QString::fromLatin1(kClientErrorDomain));
    EXPECT_EQ(error->code, -3);
    EXPECT_EQ(error->localizedFailureReason, QStringLiteral("quitApplication failed"));
    EXPECT_EQ(error->localizedDescription,
              QStringLiteral("Timed out waiting for app with id \"%1\" to quit after 4s").arg(app.identifier()));
    EXPECT_EQ(sleep.pauses, (QList<double>{0.25, 0.375, 0.5625, 0.84375, 1.265625, 1.8984375}));
    EXPECT_EQ(waitingLines(log, app.identifier()), 5);
    EXPECT_TRUE(log.contains(QStringLiteral("Requested app with id \"%1\" to quit").arg(app.identifier())));
    EXPECT_TRUE(isApplicationRunning(app.identifier()));
}

TEST(QuitApplication, PausesStopGrowingAtTwoSecondsAndFractionOfTimeOutIsDropped)
{
    ScratchHome home;
    BundleProcess app(home, sleepExecutable(), {QStringLiteral("30")}, true);
    LogCapture log;
    FakeSleep sleep;

    const QBErrorResult error = quitApplication(app.identifier(), true, 10.9, sleep.function());

    ASSERT_TRUE(error);
    EXPECT_TRUE(error->localizedDescription.endsWith(QStringLiteral("to quit after 10s")));
    EXPECT_EQ(sleep.pauses.mid(5), (QList<double>{1.8984375, 2.0, 2.0, 2.0}));
    EXPECT_EQ(waitingLines(log, app.identifier()), 8);
}

TEST(QuitApplication, ApplicationThatQuitsDuringFirstPauseGivesOneWaitingLine)
{
    ScratchHome home;
    BundleProcess app(home, sleepExecutable(), {QStringLiteral("30")}, true);
    LogCapture log;
    FakeSleep sleep;
    sleep.actAtPause = 1;
    sleep.act = [&app] { app.killNow(); };

    EXPECT_FALSE(quitApplication(app.identifier(), true, 4.0, sleep.function()));

    const QString id = app.identifier();
    EXPECT_EQ(log.messages(), (QStringList{QStringLiteral("Requesting app with id \"%1\" to quit...").arg(id),
                                           QStringLiteral("Requested app with id \"%1\" to quit").arg(id),
                                           QStringLiteral("Waiting for app with id \"%1\" to quit").arg(id),
                                           QStringLiteral("App with id \"%1\" did quit").arg(id)}));
}

TEST(QuitApplication, CooperativeApplicationQuitsOnRequestWithRealPauses)
{
    ScratchHome home;
    BundleProcess app(home, QStringLiteral(QB_CORE_EXECUTABLE), {QStringLiteral("--keep-running")}, false);
    const QString coreLog = home.home() + QStringLiteral("/Library/Logs/Quorbel/QuorbelCore/QuorbelCore.log");
    QDeadlineTimer started(5000);
    while (!readFile(coreLog).contains("QuorbelCore started") && !started.hasExpired())
        QThread::msleep(10);
    ASSERT_TRUE(isApplicationRunning(app.identifier()));
    LogCapture log;

    EXPECT_FALSE(quitApplication(app.identifier(), true, 4.0));

    EXPECT_EQ(log.messages().last(), QStringLiteral("App with id \"%1\" did quit").arg(app.identifier()));
    EXPECT_FALSE(isApplicationRunning(app.identifier()));
    EXPECT_TRUE(readFile(coreLog).contains("QuorbelCore quit"));
}

TEST(QuitApplication, QuittingDuringThePauseThatReachesTheTimeOutIsStillATimeOut)
{
    ScratchHome home;
    BundleProcess app(home, sleepExecutable(), {QStringLiteral("30")}, true);
    LogCapture log;
    FakeSleep sleep;
    sleep.actAtPause = 6;
    sleep.act = [&app] { app.killNow(); };

    const QBErrorResult error = quitApplication(app.identifier(), true, 4.0, sleep.function());

    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, -3);
    EXPECT_FALSE(isApplicationRunning(app.identifier()));
}

TEST(QuitApplication, WithoutWaitingAnswersRightAfterAsking)
{
    ScratchHome home;
    BundleProcess app(home, sleepExecutable(), {QStringLiteral("30")}, true);
    FakeSleep sleep;
    EXPECT_FALSE(quitApplication(app.identifier(), false, 4.0, sleep.function()));
    EXPECT_TRUE(sleep.pauses.isEmpty());
    EXPECT_TRUE(isApplicationRunning(app.identifier()));
}

TEST(QuitApplication, NotANumberTimeOutDoesNotWaitForever)
{
    ScratchHome home;
    BundleProcess app(home, sleepExecutable(), {QStringLiteral("30")}, true);
    FakeSleep sleep;
    const QBErrorResult error = quitApplication(app.identifier(), true, std::nan(""), sleep.function());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, -3);
    EXPECT_EQ(sleep.pauses.size(), 1);
}

TEST(IsApplicationRunning, BundlesWithoutReadableIdentifierMatchNothing)
{
    ScratchHome home;
    BundleProcess app(home, sleepExecutable(), {QStringLiteral("30")}, false);
    const QString info = home.path(app.identifier() + QStringLiteral(".app/Contents/Info.plist"));
    ASSERT_TRUE(writeFile(info, QByteArray("\x00\x01garbage<plist", 15)));
    EXPECT_FALSE(isApplicationRunning(app.identifier()));
    EXPECT_FALSE(isApplicationRunning(QString()));
    ASSERT_TRUE(writeFile(info, "<?xml version=\"1.0\"?><plist><dict><key>x</key><string>y</string></dict></plist>"));
    EXPECT_FALSE(isApplicationRunning(QString()));
}

TEST(LaunchApplication, UnknownIdentifierAndRefusedLaunchAreErrors)
{
    ScratchHome home;
    const QString previousMain = platform::Bundle::mainBundle().bundlePath();
    const QString main = makeBundle(home.path(QStringLiteral("Main.app")),
                                    {{QStringLiteral("CFBundleIdentifier"), QStringLiteral("com.quorbel.test.main")}});
    const QString broken = makeBundle(main + QStringLiteral("/Contents/Resources/Broken.app"),
                                      {{QStringLiteral("CFBundleIdentifier"), QStringLiteral("com.quorbel.test.broken")}});
    platform::Bundle::setMainBundlePath(main);

    const QBErrorResult unknown = launchApplication(QStringLiteral("com.quorbel.test.nowhere"));
    const QBErrorResult refused = launchApplication(QStringLiteral("com.quorbel.test.broken"));
    platform::Bundle::setMainBundlePath(previousMain);

    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->code, -1);
    EXPECT_EQ(unknown->localizedFailureReason, QStringLiteral("launchApplication failed"));
    EXPECT_EQ(unknown->localizedDescription, QStringLiteral("bundleWithIdentifier \"com.quorbel.test.nowhere\" failed"));
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->localizedDescription, QStringLiteral("launchApplication \"%1\" failed").arg(broken));
}

TEST(LaunchApplication, StartsTheKnownBundle)
{
    ScratchHome home;
    const QString previousMain = platform::Bundle::mainBundle().bundlePath();
    const QString main = makeBundle(home.path(QStringLiteral("Main.app")), {});
    const QString core = makeBundle(main + QStringLiteral("/Contents/Resources/QuorbelCore.app"),
                                    {{QStringLiteral("CFBundleIdentifier"), QStringLiteral("com.quorbel.test.core")}});
    QFile::copy(QStringLiteral(QB_CORE_EXECUTABLE), core + QStringLiteral("/Contents/MacOS/QuorbelCore"));
    platform::Bundle::setMainBundlePath(main);

    const QBErrorResult error = launchApplication(QStringLiteral("com.quorbel.test.core"));
    platform::Bundle::setMainBundlePath(previousMain);

    EXPECT_FALSE(error) << qPrintable(error->localizedDescription);
    const QString coreLog = home.home() + QStringLiteral("/Library/Logs/Quorbel/QuorbelCore/QuorbelCore.log");
    // The log exists before its first line is in it.
    QDeadlineTimer ran(5000);
    while (!readFile(coreLog).contains("QuorbelCore started") && !ran.hasExpired())
        QThread::msleep(10);
    EXPECT_TRUE(readFile(coreLog).contains("QuorbelCore started")) << readFile(coreLog).constData();
}
