// Whole runs of the launcher where the move could cost the user their copy:
// a download with a folder the user cannot read, a path that is not UTF-8,
// and a move killed at every step.

#include "LauncherRun.h"
#include "TestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <unistd.h>

using namespace testing_support;

namespace {

constexpr int kTimeoutMs = 60000;
constexpr uint kNobody = 65534;
const QString kMove = QStringLiteral("Move to Applications Folder");

class MoveSafetyRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QFileInfo(QString::fromUtf8(QB_BUNDLE_DIR)).isDir()) << "build the bundle target first";
        QDir().mkpath(applications());
        QDir().mkpath(home() + QStringLiteral("/Downloads"));
    }
    void TearDown() override
    {
        stopStrays();
        QProcess::execute(QStringLiteral("chmod"), {QStringLiteral("-R"), QStringLiteral("u+rwX"), m_dir.path()});
    }

    QString home() const { return m_dir.path() + QStringLiteral("/home"); }
    QString root() const { return m_dir.path() + QStringLiteral("/root"); }
    QString applications() const { return root() + QStringLiteral("/Applications"); }
    QString installed() const { return applications() + QStringLiteral("/Quorbel.app"); }
    QString downloaded() const { return home() + QStringLiteral("/Downloads/Quorbel.app"); }
    QString coreLogPath() const { return home() + QStringLiteral("/Library/Logs/Quorbel/QuorbelCore/QuorbelCore.log"); }

    // Runs a shell script given by its bytes: paths that are not UTF-8 stay exact.
    int shell(const QByteArray& script) const
    {
        const QString file = m_dir.path() + QStringLiteral("/script.sh");
        writeFile(file, "set -e\n" + script + '\n');
        return QProcess::execute(QStringLiteral("sh"), {file});
    }
    // The sample's other items install into the real system folders: these
    // runs check the core alone.
    bool copyBundle(const QByteArray& destination) const
    {
        const QString manifest = m_dir.path() + QStringLiteral("/core-only");
        return testing_support::writeCoreOnlyManifest(manifest)
               && shell("cp -a '" QB_BUNDLE_DIR "' '" + destination + "' && cp '" + QFile::encodeName(manifest)
                        + "/RequiredItems.plist' '" + destination + "/Contents/Resources/RequiredItems.plist'")
                      == 0;
    }

    QProcessEnvironment environment(const QString& answer) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home() + QStringLiteral("/.config"));
        env.insert(QStringLiteral("XDG_DATA_HOME"), home() + QStringLiteral("/.local/share"));
        env.insert(QStringLiteral("QUORBEL_SYSTEM_ROOT"), root());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("QUORBEL_ALERT_ANSWER"), answer);
        env.remove(QStringLiteral("QUORBEL_CORE_KEEP_RUNNING"));
        return env;
    }

    // Runs a launcher to its end; answers its exit code (-1 on a crash or time-out).
    int run(const QString& program, const QStringList& arguments, const QProcessEnvironment& env)
    {
        QProcess launcher;
        launcher.setProcessEnvironment(env);
        launcher.start(program, arguments);
        const bool finished = launcher.waitForFinished(kTimeoutMs);
        if (!finished) {
            launcher.kill();
            launcher.waitForFinished();
        }
        m_stderr = QString::fromUtf8(launcher.readAllStandardError());
        return finished && launcher.exitStatus() == QProcess::NormalExit ? launcher.exitCode() : -1;
    }

    QString launcherLog() const
    {
        QString text;
        QDirIterator logs(home() + QStringLiteral("/Library/Logs/Quorbel/Quorbel"), {QStringLiteral("*.log")});
        while (logs.hasNext())
            text += QString::fromUtf8(readFile(logs.next()));
        return text;
    }

    // Waits until no process runs from the scratch tree (relaunched copies, cores).
    void waitForStrays() const
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < kTimeoutMs && !strays().isEmpty())
            QThread::msleep(50);
    }
    QList<pid_t> strays() const
    {
        QList<pid_t> found;
        for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            bool isPid = false;
            const pid_t pid = pid_t(entry.toInt(&isPid));
            if (isPid && pid != ::getpid()
                && QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(entry)).startsWith(m_dir.path()))
                found.append(pid);
        }
        return found;
    }
    void stopStrays() const
    {
        for (pid_t pid : strays())
            ::kill(pid, SIGKILL);
    }

    QTemporaryDir m_dir;
    QString m_stderr;
};

TEST_F(MoveSafetyRun, AnOrdinaryUsersCopyThatMissesAFolderIsAFailedMove)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "dropping to another user needs root";
    ASSERT_TRUE(copyBundle(QFile::encodeName(downloaded())));
    writeFile(downloaded() + QStringLiteral("/Contents/Resources/Private/secret.txt"), "unreadable");
    ASSERT_TRUE(copyBundle(QFile::encodeName(installed())));
    writeFile(installed() + QStringLiteral("/Contents/Resources/old.txt"), "old");
    ASSERT_EQ(QProcess::execute(QStringLiteral("chown"),
                                {QStringLiteral("-R"), QStringLiteral("%1:%1").arg(kNobody), m_dir.path()}),
              0);
    ASSERT_EQ(::chmod(QFile::encodeName(downloaded() + QStringLiteral("/Contents/Resources/Private")).constData(), 0), 0);

    const QStringList asNobody{QStringLiteral("--reuid=%1").arg(kNobody), QStringLiteral("--regid=%1").arg(kNobody),
                               QStringLiteral("--clear-groups"), downloaded() + QStringLiteral("/Contents/MacOS/Quorbel")};
    ASSERT_EQ(run(QStringLiteral("setpriv"), asNobody, environment(kMove + QStringLiteral("|OK"))), 0)
        << qPrintable(m_stderr);
    const QString log = launcherLog();
    EXPECT_TRUE(log.contains(QStringLiteral("Could not copy myself to %1").arg(installed()))) << qPrintable(log);
    EXPECT_TRUE(m_stderr.contains(QStringLiteral("Unattended alert: \"Could not move to Applications folder\"")))
        << qPrintable(m_stderr);
    // The download and the installed copy are as they were, and nothing half made remains.
    EXPECT_TRUE(QFileInfo(downloaded() + QStringLiteral("/Contents/MacOS/Quorbel")).isExecutable());
    EXPECT_EQ(readFile(installed() + QStringLiteral("/Contents/Resources/old.txt")), "old");
    EXPECT_EQ(QDir(applications()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral("Quorbel.app")});
    EXPECT_FALSE(QFileInfo::exists(home() + QStringLiteral("/.local/share/Trash/files/Quorbel.app")));
    // The launch goes on from the download.
    waitForStrays();
    EXPECT_TRUE(readFile(coreLogPath()).contains("QuorbelCore started"));
}

TEST_F(MoveSafetyRun, APathThatIsNotUtf8IsRefusedRatherThanReadAsAnother)
{
    // "caf\xe9" would read as "caf\uFFFD", the name of the folder beside it.
    const QByteArray downloads = QFile::encodeName(home() + QStringLiteral("/Downloads"));
    const QByteArray mine = downloads + "/caf\xe9/Quorbel.app";
    const QByteArray other = downloads + "/caf\xef\xbf\xbd/Quorbel.app";
    QDir().mkpath(QFile::decodeName(downloads + "/caf\xef\xbf\xbd"));
    ASSERT_EQ(::mkdir((downloads + "/caf\xe9").constData(), 0755), 0);
    ASSERT_TRUE(copyBundle(mine));
    ASSERT_TRUE(copyBundle(other));
    // The neighbour's core must never be the one started.
    writeFile(QFile::decodeName(other) + QStringLiteral("/Contents/Resources/QuorbelCore.app/Contents/MacOS/QuorbelCore"),
              "#!/bin/sh\necho neighbour > \"$HOME/neighbour-started\"\n", 0755);

    const QString script = m_dir.path() + QStringLiteral("/start.sh");
    writeFile(script, "exec '" + mine + "/Contents/MacOS/Quorbel'\n");
    const int code = run(QStringLiteral("sh"), {script}, environment(QStringLiteral("Quit|Do Not Move")));
    waitForStrays();
    EXPECT_FALSE(QFileInfo::exists(home() + QStringLiteral("/neighbour-started")));
    EXPECT_FALSE(QFileInfo::exists(coreLogPath()));
    EXPECT_EQ(code, 7) << qPrintable(m_stderr);
    EXPECT_TRUE(m_stderr.contains(QStringLiteral("Refusing to run: the path of the application"))) << qPrintable(m_stderr);
    EXPECT_TRUE(m_stderr.contains(QStringLiteral("Unattended alert: \"This application cannot run from its folder\"")))
        << qPrintable(m_stderr);
}

// Where a kill lands: a named step the launcher stops itself at, or the
// moment a file being copied shows up (mid-copy, mid-trash).
struct KillPoint {
    const char* name;
    const char* step;  // QUORBEL_STOP_AT, or nullptr
    QString appearing; // relative to the scratch folder, or ""
};

class MoveKilledRun : public MoveSafetyRun {
protected:
    static constexpr qint64 kLargeFileSize = 48 << 20;

    // The download (with a large file), an older installed copy and an earlier copy.
    void prepare()
    {
        ASSERT_TRUE(copyBundle(QFile::encodeName(downloaded())));
        QFile large(downloaded() + QStringLiteral("/Contents/Resources/large.bin"));
        ASSERT_TRUE(large.open(QIODevice::WriteOnly));
        const QByteArray block(1 << 20, 'q');
        for (qint64 written = 0; written < kLargeFileSize; written += block.size())
            ASSERT_EQ(large.write(block), block.size());
        large.close();
        ASSERT_TRUE(copyBundle(QFile::encodeName(installed())));
        writeFile(installed() + QStringLiteral("/Contents/Resources/old.txt"), "old");
        makeBundle(applications() + QStringLiteral("/Quorbel-2.app"), {{"CFBundleIdentifier", "com.example.earlier"}});
        // The plain move is an ordinary user's into a folder of its own (a
        // launcher that runs as root installs by the root side's requests).
        ASSERT_EQ(QProcess::execute(QStringLiteral("chown"),
                                    {QStringLiteral("-R"), QStringLiteral("%1:%1").arg(kNobody), m_dir.path()}),
                  0);
    }

    // The download sits on its own mount of the file system, as on a second
    // disk: moving it to the Trash is a copy and a removal, not a rename. The
    // launcher runs as the ordinary user who owns the scratch tree.
    int runUntilKilled(const KillPoint& point, QString* landed)
    {
        QProcessEnvironment env = environment(kMove);
        if (point.step)
            env.insert(QStringLiteral("QUORBEL_STOP_AT"), QString::fromLatin1(point.step));
        const QString downloads = home() + QStringLiteral("/Downloads");
        QProcess launcher;
        launcher.setProcessEnvironment(env);
        launcher.start(
            QStringLiteral("unshare"),
            {QStringLiteral("-m"), QStringLiteral("--propagation"), QStringLiteral("private"), QStringLiteral("sh"),
             QStringLiteral("-c"),
             QStringLiteral("mount --bind \"$0\" \"$0\" && exec setpriv --reuid=%1 --regid=%1 --clear-groups \"$1\"").arg(kNobody),
             downloads, downloaded() + QStringLiteral("/Contents/MacOS/Quorbel")});
        if (!launcher.waitForStarted())
            return -1;
        const pid_t pid = pid_t(launcher.processId());
        QElapsedTimer timer;
        timer.start();
        bool killed = false;
        while (!killed && launcher.state() == QProcess::Running && timer.elapsed() < kTimeoutMs) {
            if (point.step && stopped(pid)) {
                killed = true;
            } else if (!point.appearing.isEmpty()) {
                const QFileInfo file(m_dir.path() + u'/' + point.appearing);
                if (file.exists()) {
                    *landed = QStringLiteral("%1 of %2 bytes copied").arg(file.size()).arg(kLargeFileSize);
                    killed = true;
                }
            }
            if (killed)
                ::kill(pid, SIGKILL);
            else
                launcher.waitForFinished(1);
        }
        launcher.waitForFinished(kTimeoutMs);
        if (!killed)
            *landed = QStringLiteral("not killed: the launcher ended by itself");
        return killed ? 0 : -1;
    }

    static bool stopped(pid_t pid)
    {
        const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
        const qsizetype end = stat.lastIndexOf(')');
        return end > 0 && stat.mid(end + 2, 1) == "T";
    }

    // A copy counts when it is whole: the large file complete or the old marker there.
    QStringList survivors() const
    {
        QStringList found;
        for (const QString& bundle : {downloaded(), installed()}) {
            const bool runnable
                = QFileInfo(bundle + QStringLiteral("/Contents/MacOS/Quorbel")).isExecutable()
                  && QFileInfo(bundle + QStringLiteral("/Contents/Resources/QuorbelCore.app/Contents/MacOS/QuorbelCore"))
                         .isExecutable();
            const bool whole = QFileInfo(bundle + QStringLiteral("/Contents/Resources/large.bin")).size() == kLargeFileSize
                               || QFileInfo::exists(bundle + QStringLiteral("/Contents/Resources/old.txt"));
            if (runnable && whole)
                found.append(bundle);
        }
        return found;
    }

    QString remains() const
    {
        QStringList parts;
        for (const QString& bundle : {downloaded(), installed()}) {
            const QString name = bundle == downloaded() ? QStringLiteral("download") : QStringLiteral("installed");
            if (!QFileInfo::exists(bundle))
                parts.append(name + QStringLiteral(": gone"));
            else if (QFileInfo::exists(bundle + QStringLiteral("/Contents/Resources/old.txt")))
                parts.append(name + QStringLiteral(": the old copy"));
            else
                parts.append(name
                             + QStringLiteral(": %1").arg(survivors().contains(bundle) ? QStringLiteral("whole new copy")
                                                                                       : QStringLiteral("partial")));
        }
        parts.append(QStringLiteral("earlier copy: %1")
                         .arg(QFileInfo::exists(applications() + QStringLiteral("/Quorbel-2.app")) ? QStringLiteral("there")
                                                                                                   : QStringLiteral("gone")));
        if (QFileInfo::exists(applications() + QStringLiteral("/.Quorbel.app.partial")))
            parts.append(QStringLiteral("a copy under the temporary name in Applications"));
        return parts.join(QStringLiteral("; "));
    }
};

TEST_F(MoveKilledRun, EveryMomentLeavesACopyThatStarts)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "a private mount needs root";
    const QList<KillPoint> points{
        {"in the middle of the copy", nullptr,
         QStringLiteral("root/Applications/.Quorbel.app.partial/Contents/Resources/large.bin")},
        {"after the copy", "copied", {}},
        {"after trashing the installed copy", "trashed-destination", {}},
        {"after trashing earlier copies", "trashed-earlier-copies", {}},
        {"after the rename into place", "installed", {}},
        {"in the middle of trashing the download", nullptr,
         QStringLiteral("home/.local/share/Trash/files/Quorbel.app.2/Contents/Resources/large.bin")},
        {"after trashing the download", "trashed-source", {}},
        {"after starting the relaunch", "relaunch-started", {}},
    };
    for (const KillPoint& point : points) {
        SCOPED_TRACE(point.name);
        TearDown();
        QDir(m_dir.path()).removeRecursively();
        SetUp();
        prepare();
        QString landed;
        ASSERT_EQ(runUntilKilled(point, &landed), 0) << qPrintable(landed);
        waitForStrays(); // a relaunch started before the kill goes ahead
        const QStringList copies = survivors();
        std::printf("killed %s%s: %s\n", point.name,
                    landed.isEmpty() ? "" : qPrintable(QStringLiteral(" (%1)").arg(landed)), qPrintable(remains()));
        ASSERT_FALSE(copies.isEmpty()) << qPrintable(remains());
        // Each copy that remains really starts for its user: from Applications
        // it runs, a download offers the move again (declined here) and runs too.
        for (const QString& bundle : copies) {
            QFile::remove(coreLogPath());
            const QStringList asNobody{QStringLiteral("--reuid=%1").arg(kNobody), QStringLiteral("--regid=%1").arg(kNobody),
                                       QStringLiteral("--clear-groups"), bundle + QStringLiteral("/Contents/MacOS/Quorbel")};
            EXPECT_EQ(run(QStringLiteral("setpriv"), asNobody, environment(QStringLiteral("Do Not Move"))), 0)
                << qPrintable(bundle) << qPrintable(m_stderr);
            waitForStrays();
            EXPECT_TRUE(readFile(coreLogPath()).contains("QuorbelCore started"))
                << qPrintable(bundle) << qPrintable(m_stderr);
            EXPECT_EQ(m_stderr.contains(QStringLiteral("Unattended alert: \"Move to Applications folder?\"")),
                      bundle == downloaded())
                << qPrintable(bundle);
        }
    }
}

} // namespace
