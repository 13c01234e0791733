// Runs the assembled launcher bundle the way a user does after a download:
// started from ~/Downloads, answered "Move", it must install itself into the
// Applications folder, clear earlier copies, relaunch from there and start
// the core, all inside a scratch home and system tree.

#include "Desktop.h"
#include "LauncherRun.h"
#include "TestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <grp.h>
#include <unistd.h>

using namespace testing_support;

namespace {

constexpr int kTimeoutMs = 60000;

class MoveToApplicationsFolderRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QFileInfo(QString::fromUtf8(QB_BUNDLE_DIR)).isDir()) << "build the bundle target first";
        QDir().mkpath(applications());
        QDir().mkpath(home() + QStringLiteral("/Downloads"));
        ASSERT_EQ(
            QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-a"), QString::fromUtf8(QB_BUNDLE_DIR), source()}), 0);
        ASSERT_TRUE(writeCoreOnlyManifest(source() + QStringLiteral("/Contents/Resources")));
        // Every line of the move in the log, so that a line written twice shows.
        writePlist(home() + QStringLiteral("/.config/com.quorbel.Quorbel.plist"),
                   QVariantMap{{QStringLiteral("FileLogging"), QStringLiteral("detailed")}});
    }

    // The move starts children (and the authorised one forks): none may write
    // a line of ours a second time. Normal-level lines of one process never
    // repeat within a stamp's tenth of a millisecond, so a repeated one was
    // written twice.
    void expectNoLineTwice() const
    {
        QDirIterator logs(home() + QStringLiteral("/Library/Logs/Quorbel/Quorbel"), {QStringLiteral("*.log")});
        int files = 0;
        while (logs.hasNext()) {
            ++files;
            QSet<QString> seen;
            for (const QString& line : QString::fromUtf8(readFile(logs.next())).split(u'\n', Qt::SkipEmptyParts)) {
                if (!line.contains(QStringLiteral("] (nrm) ")) && !line.contains(QStringLiteral("] (ERR) ")))
                    continue;
                EXPECT_FALSE(seen.contains(line)) << "written twice: " << line.toStdString();
                seen.insert(line);
            }
        }
        EXPECT_GT(files, 0);
    }

    void TearDown() override { stopStrays(); }

    QString home() const { return m_dir.path() + QStringLiteral("/home"); }
    QString root() const { return m_dir.path() + QStringLiteral("/root"); }
    QString applications() const { return root() + QStringLiteral("/Applications"); }
    QString source() const { return home() + QStringLiteral("/Downloads/Quorbel.app"); }
    QString installed() const { return applications() + QStringLiteral("/Quorbel.app"); }

    QString makeEarlierCopy(const QString& path)
    {
        // This product's: a launcher that runs as root removes no other.
        makeBundle(path, {{QStringLiteral("CFBundleIdentifier"), QStringLiteral("com.quorbel.Quorbel")}});
        writeFile(path + QStringLiteral("/Contents/Resources/old.txt"), "old");
        return path;
    }

    // Starts the downloaded launcher and waits for it; answers its exit code.
    // With `stopAt`, it is ended (answer -1) once it has logged that message.
    int runDownloadedLauncher(const QString& stopAt = QString())
    {
        QProcess launcher;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), home());
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home() + QStringLiteral("/.config"));
        environment.insert(QStringLiteral("XDG_DATA_HOME"), home() + QStringLiteral("/.local/share"));
        environment.insert(QStringLiteral("QUORBEL_SYSTEM_ROOT"), root());
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("QUORBEL_ALERT_ANSWER"), QStringLiteral("Move to Applications Folder"));
        environment.remove(QStringLiteral("QUORBEL_CORE_KEEP_RUNNING"));
        launcher.setProcessEnvironment(environment);
        launcher.setProcessChannelMode(QProcess::ForwardedChannels);
        launcher.start(source() + QStringLiteral("/Contents/MacOS/Quorbel"));
        if (!launcher.waitForStarted())
            return -1;
        m_firstPid = launcher.processId();
        QElapsedTimer timer;
        timer.start();
        while (!stopAt.isEmpty() && timer.elapsed() < kTimeoutMs && !launcher.waitForFinished(100)) {
            if (launcherMessages().value(m_firstPid).contains(stopAt)) {
                launcher.kill();
                launcher.waitForFinished();
                return -1;
            }
        }
        if (!launcher.waitForFinished(kTimeoutMs)) {
            launcher.kill();
            launcher.waitForFinished();
            return -1;
        }
        return launcher.exitStatus() == QProcess::NormalExit ? launcher.exitCode() : -1;
    }

    // Log messages of every launcher process, by process id.
    QMap<qint64, QStringList> launcherMessages() const
    {
        static const QRegularExpression line(
            QStringLiteral(R"(^\S+ \S+ \S+\[(\d+)\] \((?:ERR|nrm|vrb|dtl)\) \[[^\]]*\] (.*)$)"));
        QMap<qint64, QStringList> messages;
        QDirIterator logs(home() + QStringLiteral("/Library/Logs/Quorbel/Quorbel"), {QStringLiteral("*.log")});
        while (logs.hasNext()) {
            for (const QString& text : QString::fromUtf8(readFile(logs.next())).split(u'\n')) {
                const QRegularExpressionMatch match = line.match(text);
                if (match.hasMatch())
                    messages[match.captured(1).toLongLong()].append(match.captured(2));
            }
        }
        return messages;
    }

    // The relaunched copy's messages once it has handed over to the core.
    QStringList waitForRelaunchedCopy() const
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < kTimeoutMs) {
            const auto messages = launcherMessages();
            for (auto it = messages.cbegin(); it != messages.cend(); ++it) {
                if (it.key() != m_firstPid && it.value().contains(QStringLiteral("Will terminate now")))
                    return it.value();
            }
            QThread::msleep(100);
        }
        return {};
    }

    // Anything still running from the scratch tree was started by this test.
    void stopStrays() const
    {
        for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            bool isPid = false;
            const qint64 pid = entry.toLongLong(&isPid);
            if (isPid && QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(entry)).startsWith(m_dir.path()))
                ::kill(pid_t(pid), SIGKILL);
        }
    }

    QTemporaryDir m_dir;
    qint64 m_firstPid = 0;
};

void expectRelaunchedSequence(const QStringList& relaunched, const QString& installedPath)
{
    const QStringList expected{
        QStringLiteral("Quorbel did begin launching..."),
        QStringLiteral("Quorbel did finish launching"),
        QStringLiteral("Launching \"%1/Contents/Resources/QuorbelCore.app/Contents/MacOS/QuorbelCore\"...").arg(installedPath),
        QStringLiteral("Will terminate now"),
    };
    qsizetype at = 0;
    for (const QString& message : expected) {
        at = relaunched.indexOf(message, at);
        EXPECT_GE(at, 0) << "missing or out of order: " << qPrintable(message) << "\n"
                         << qPrintable(relaunched.join(u'\n'));
    }
    EXPECT_FALSE(relaunched.contains(QStringLiteral("Moving myself to the Applications folder")));
}

TEST_F(MoveToApplicationsFolderRun, ReplacesAnOldInstallAndRelaunchesFromApplications)
{
    makeEarlierCopy(installed());
    const QString earlier = makeEarlierCopy(applications() + QStringLiteral("/Quorbel-2.app"));

    ASSERT_EQ(runDownloadedLauncher(), 0);
    const QStringList relaunched = waitForRelaunchedCopy();
    ASSERT_FALSE(relaunched.isEmpty()) << "the installed copy never reached the core";

    // What the move does to the copies is in launcher_tests; here: the launcher
    // names its earlier copies, and the relaunched one takes over.
    EXPECT_TRUE(launcherMessages().value(m_firstPid).contains(QStringLiteral("Moving myself to the Applications folder")));
    EXPECT_TRUE(QFileInfo(installed() + QStringLiteral("/Contents/MacOS/Quorbel")).isExecutable());
    EXPECT_FALSE(QFileInfo::exists(source()));
    EXPECT_FALSE(QFileInfo::exists(earlier));
    expectRelaunchedSequence(relaunched, installed());
    // The core is started detached: its first line may come after the launcher's last.
    const QString coreLog = home() + QStringLiteral("/Library/Logs/Quorbel/QuorbelCore/QuorbelCore.log");
    QElapsedTimer timer;
    timer.start();
    while (!readFile(coreLog).contains("QuorbelCore started") && timer.elapsed() < kTimeoutMs)
        QThread::msleep(50);
    EXPECT_TRUE(readFile(coreLog).contains("QuorbelCore started"));
    expectNoLineTwice();
}

// The plain move's copy, slowed down, under Xvfb with openbox: the progress
// window comes up as a dialog of its own, its figures advance, and it is off
// the screen as soon as the copy is done. The launcher runs as an ordinary
// user: run as root, it would take the authorised move.
TEST(MoveOnADesktop, ACopyThatLastsShowsItsProgressUntilItIsDone)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run the launcher as another user";
    QB_START_X11_DESKTOP(desktop);
    constexpr uid_t kUser = 65534; // nobody
    LauncherRun run(QStringLiteral("/Downloads"));
    // An installed copy the user may replace: the move needs no rights.
    makeBundle(run.root() + QStringLiteral("/Applications/Quorbel.app"),
               {{QStringLiteral("CFBundleIdentifier"), QStringLiteral("com.quorbel.Quorbel")}});
    for (int i = 0; i < 40; ++i)
        writeFile(run.resources() + QStringLiteral("/extra/%1").arg(i), QByteArray(4096, 'x'));
    const QString scratch = QFileInfo(run.home()).path();
    ASSERT_EQ(
        QProcess::execute(QStringLiteral("chown"), {QStringLiteral("-R"), QStringLiteral("%1:%1").arg(kUser), scratch}), 0);
    desktop->enter(run.environment());
    run.environment().insert(QStringLiteral("QUORBEL_ALERT_ANSWER"), QStringLiteral("Move to Applications Folder"));
    run.environment().insert(QStringLiteral("QUORBEL_COPY_PAUSE_MS"), QStringLiteral("50"));
    run.environment().insert(QStringLiteral("QUORBEL_STOP_AT"), QStringLiteral("copied"));
    run.setChildSetup([] {
        if (::setgroups(0, nullptr) != 0 || ::setgid(kUser) != 0 || ::setuid(kUser) != 0)
            ::_exit(126);
    });
    run.start();
    const auto title = [&](const QString& window) {
        return desktop->tool(QStringLiteral("xprop"), {"-id", window, "_NET_WM_NAME"}).section(u'"', 1, 1);
    };
    QString window;
    ASSERT_TRUE(waitUntil([&] {
        for (const QString& candidate : desktop->windowsOf(run.processId()))
            if (title(candidate).contains(QStringLiteral("% done")))
                window = candidate;
        return !window.isEmpty();
    })) << run.logLines().join(u'\n').toStdString();
    EXPECT_TRUE(desktop->atomsProperty(window, "_NET_WM_WINDOW_TYPE").contains("_NET_WM_WINDOW_TYPE_DIALOG"));
    EXPECT_FALSE(desktop->windowProperty(window, "WM_TRANSIENT_FOR").isEmpty());
    const QStringList actions = desktop->atomsProperty(window, "_NET_WM_ALLOWED_ACTIONS");
    EXPECT_TRUE(actions.contains("_NET_WM_ACTION_MOVE")) << actions.join(u' ').toStdString();
    for (const char* refused : {"_NET_WM_ACTION_MAXIMIZE_HORZ", "_NET_WM_ACTION_RESIZE"})
        EXPECT_FALSE(actions.contains(refused)) << refused;
    EXPECT_TRUE(desktop->tool(QStringLiteral("xprop"), {"-id", window, "-len", "8", "_NET_WM_ICON"}).contains(u'='));

    // The share done, as the title shows it, until the copy is done and the
    // launcher stops right after it (QUORBEL_STOP_AT).
    QList<int> shares;
    const auto stopped = [&] {
        const QString stat = QString::fromLatin1(readFile(QStringLiteral("/proc/%1/stat").arg(run.processId())));
        return stat.section(u')', -1).trimmed().startsWith(u'T');
    };
    EXPECT_TRUE(waitUntil(
        [&] {
            const int share = title(window).section(u'%', 0, 0).toInt();
            if (shares.isEmpty() || shares.last() != share)
                shares.append(share);
            return stopped();
        },
        30000));
    std::string seen;
    for (const int share : shares)
        seen += std::to_string(share) + "% ";
    EXPECT_GE(shares.size(), 3) << seen;
    EXPECT_TRUE(std::is_sorted(shares.cbegin(), shares.cend())) << seen;
    EXPECT_FALSE(desktop->windowsOf(run.processId()).contains(window));
    ::kill(pid_t(run.processId()), SIGKILL);
    run.finish();
    EXPECT_TRUE(
        QFileInfo::exists(run.root() + QStringLiteral("/Applications/.Quorbel.app.partial/Contents/Resources/extra/39")));
}

} // namespace
