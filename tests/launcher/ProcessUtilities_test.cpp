#include "ProcessUtilities.h"

#include "ProcessListing.h"
#include "QtPrinters.h"
#include "TestSupport.h"
#include "UUIDString.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

#include <grp.h>
#include <optional>
#include <sys/wait.h>
#include <unistd.h>

using namespace testing_support;

namespace {

// Makes the process checks read a fixed listing instead of the system's.
class FixedListing {
public:
    explicit FixedListing(const QStringList& commandPaths)
    {
        platform::processes::setCommandPathListing((commandPaths.join(u'\n') + u'\n').toUtf8());
    }
    ~FixedListing() { platform::processes::setCommandPathListing(QByteArray()); }
};

const QString kInstalledCore = QStringLiteral(
    "/Applications/Quorbel.app/Contents/Resources/QuorbelCore.app/Contents/MacOS/QuorbelCore");

// Runs a copy of `executable` as X.app/Contents/MacOS/<name>.
class RunningCopy {
public:
    RunningCopy(const QString& bundlePath, const QString& name, const QString& executable, const QStringList& arguments,
                const QString& identifier = {})
    {
        makeBundle(bundlePath, {{QStringLiteral("CFBundleIdentifier"), identifier}});
        m_path = bundlePath + QStringLiteral("/Contents/MacOS/") + name;
        QFile::copy(executable, m_path);
        m_process.start(m_path, arguments);
        m_process.waitForStarted();
    }
    ~RunningCopy()
    {
        m_process.kill();
        m_process.waitForFinished();
    }
    QString path() const { return m_path; }
    qint64 pid() const { return m_process.processId(); }

private:
    QString m_path;
    QProcess m_process;
};

} // namespace

TEST(QuorbelCoreAlreadyRunning, MatchesTheNameEarlierClientsAndAnyQuorbelCore)
{
    {
        FixedListing listing({QStringLiteral("/usr/bin/bash"), kInstalledCore});
        EXPECT_TRUE(ProcessUtilities::quorbelCoreAlreadyRunning(QStringLiteral("QuorbelCore")));
        // Whatever the product is called now, a QuorbelCore counts.
        EXPECT_TRUE(ProcessUtilities::quorbelCoreAlreadyRunning(QStringLiteral("OtherCore")));
    }
    {
        FixedListing listing({QStringLiteral("/Applications/Quorbel Mac.app/Contents/MacOS/Quorbel Mac")});
        EXPECT_TRUE(ProcessUtilities::quorbelCoreAlreadyRunning(QStringLiteral("OtherCore")));
    }
    {
        FixedListing listing(
            {QStringLiteral("/Applications/Other.app/Contents/Resources/OtherCore.app/Contents/MacOS/OtherCore")});
        EXPECT_TRUE(ProcessUtilities::quorbelCoreAlreadyRunning(QStringLiteral("OtherCore")));
    }
}

TEST(QuorbelCoreAlreadyRunning, IgnoresTheRelauncherGrepAndUnrelatedProcesses)
{
    FixedListing listing({QStringLiteral("/usr/bin/bash"), QStringLiteral("/tmp/relaunchqb/OtherCore"),
                          QStringLiteral("/usr/bin/grep OtherCore"),
                          QStringLiteral("/Applications/Quorbel.app/Contents/MacOS/Quorbel"),
                          QStringLiteral("/Applications/QuorbelMac.app/Contents/MacOS/QuorbelMac")});
    EXPECT_FALSE(ProcessUtilities::quorbelCoreAlreadyRunning(QStringLiteral("OtherCore")));
}

TEST(QuorbelCoreAlreadyRunning, NamesWithQuotesAndShellCharactersStayOneLiteralPattern)
{
    ScratchHome home;
    const QString marker = home.path(QStringLiteral("injected"));
    const QString injections[] = {
        QStringLiteral("it's; touch ") + marker,
        QStringLiteral("'; touch ") + marker + QStringLiteral("; echo '"),
        QStringLiteral("$(touch ") + marker + u')',
        QStringLiteral("`touch ") + marker + u'`',
        QStringLiteral("a|b>") + marker,
    };
    {
        FixedListing listing({QStringLiteral("/usr/bin/bash")});
        for (const QString& name : injections)
            EXPECT_FALSE(ProcessUtilities::quorbelCoreAlreadyRunning(name)) << name.toStdString();
        // Taken as options, these would match every line.
        EXPECT_FALSE(ProcessUtilities::quorbelCoreAlreadyRunning(QStringLiteral("-v")));
        EXPECT_FALSE(ProcessUtilities::quorbelCoreAlreadyRunning(QStringLiteral("--invert-match")));
    }
    EXPECT_FALSE(QFile::exists(marker));
    FixedListing listing({QStringLiteral("/opt/it's here/Odd Core$1.app/Contents/MacOS/x")});
    EXPECT_TRUE(ProcessUtilities::quorbelCoreAlreadyRunning(QStringLiteral("it's here/Odd Core$1")));
    EXPECT_FALSE(QFile::exists(marker));
}

TEST(QuorbelCoreAlreadyRunning, NameWithLineBreakIsRefusedWithALogLine)
{
    LogCapture log(0, 0);
    FixedListing listing({QStringLiteral("/usr/bin/bash")});
    EXPECT_FALSE(ProcessUtilities::quorbelCoreAlreadyRunning(QStringLiteral("Core\n")));
    EXPECT_TRUE(log.contains(QStringLiteral("Not looking for a process named \"Core")));
}

TEST(QuorbelCoreAlreadyRunning, SeesARealCoreByItsFullExecutablePath)
{
    ScratchHome home;
    // Longer than the 15 characters that Linux keeps of a command name.
    const QString name = QStringLiteral("Z") + UUIDString().remove(u'-') + QStringLiteral("Core");
    RunningCopy core(home.path(name + QStringLiteral(".app")), name, QStringLiteral("/bin/sleep"), {QStringLiteral("30")});
    EXPECT_TRUE(ProcessUtilities::quorbelCoreAlreadyRunning(name));
}

TEST(RunningApplications, FinderAndITunesByExactIdentifier)
{
    ScratchHome home;
    RunningCopy finder(home.path(QStringLiteral("Finder.app")), QStringLiteral("Finder"), QStringLiteral("/bin/sleep"),
                       {QStringLiteral("30")}, QStringLiteral("com.apple.finder"));
    RunningCopy itunes(home.path(QStringLiteral("iTunes.app")), QStringLiteral("iTunes"), QStringLiteral("/bin/sleep"),
                       {QStringLiteral("30")}, QStringLiteral("com.apple.iTunes"));
    QDeadlineTimer visible(5000);
    while ((!ProcessUtilities::getRunningFinder() || !ProcessUtilities::getRunningiTunesInfo()) && !visible.hasExpired())
        QThread::msleep(10);

    const auto found = ProcessUtilities::getRunningFinder();
    ASSERT_TRUE(found);
    EXPECT_EQ(found->value(QStringLiteral("NSApplicationBundleIdentifier")).toString(), QStringLiteral("com.apple.finder"));
    const auto music = ProcessUtilities::getRunningiTunesInfo();
    ASSERT_TRUE(music);
    EXPECT_EQ(music->value(QStringLiteral("NSApplicationBundleIdentifier")).toString(), QStringLiteral("com.apple.iTunes"));
    EXPECT_EQ(ProcessUtilities::currentLanguage(), QStringLiteral("en"));
}

TEST(QuorbelCoreAlreadyRunning, AnOrdinaryUserSeesAnotherUsersCore)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run a core that an ordinary user cannot inspect";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // A death test's child runs the test again: the running core belongs to the parent.
    const bool inChild = qEnvironmentVariableIsSet("QB_TEST_CORE_NAME");
    ScratchHome home;
    std::optional<RunningCopy> byPath;
    std::optional<QProcess> unnamed;
    if (!inChild) {
        // Seen through the command line's first argument (longer than a process name).
        const QString longName = QStringLiteral("Z") + UUIDString().remove(u'-') + QStringLiteral("Core");
        byPath.emplace(home.path(longName + QStringLiteral(".app")), longName, QStringLiteral("/bin/sleep"),
                       QStringList{QStringLiteral("30")});
        // Seen through the process name only: its first argument is empty.
        const QString shortName = QStringLiteral("Z%1Core").arg(::getpid() % 100000);
        const QString shortPath = home.path(shortName);
        QFile::copy(QStringLiteral("/bin/sleep"), shortPath);
        unnamed.emplace();
        unnamed->start(QStringLiteral("/bin/bash"),
                       {QStringLiteral("-c"), QStringLiteral("exec -a '' \"$0\" 30"), shortPath});
        ASSERT_TRUE(unnamed->waitForStarted());
        const QString comm = QStringLiteral("/proc/%1/comm").arg(unnamed->processId());
        QDeadlineTimer execed(5000);
        while (readFile(comm).trimmed() != shortName.toUtf8() && !execed.hasExpired())
            QThread::msleep(10);
        qputenv("QB_TEST_CORE_NAME", (longName + u'\n' + shortName).toUtf8());
    }
    const QStringList names = qEnvironmentVariable("QB_TEST_CORE_NAME").split(u'\n');
    for (const QString& name : names) {
        SCOPED_TRACE(name.toStdString());
        EXPECT_EXIT(
            {
                if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0
                    || ::setresuid(65534, 65534, 65534) != 0)
                    std::_Exit(2);
                std::_Exit(ProcessUtilities::quorbelCoreAlreadyRunning(name) ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "");
    }
    if (!inChild) {
        qunsetenv("QB_TEST_CORE_NAME");
        unnamed->kill();
        unnamed->waitForFinished();
    }
}

TEST(QuorbelCoreAlreadyRunning, TheListingNeverShowsTheAskingProcessOrZombies)
{
    ScratchHome home;
    RunningCopy core(home.path(QStringLiteral("ListedCore.app")), QStringLiteral("ListedCore"),
                     QStringLiteral("/bin/sleep"), {QStringLiteral("30")});
    const QByteArray own = QFile::symLinkTarget(QStringLiteral("/proc/self/exe")).toUtf8();
    // A child that has ended but was not waited for stays behind as a zombie.
    const pid_t zombie = ::fork();
    if (zombie == 0)
        ::_exit(0);
    ASSERT_GT(zombie, 0);
    // Waited for without being reaped (WNOWAIT): it stays a zombie.
    siginfo_t ended{};
    QElapsedTimer timer;
    timer.start();
    while (ended.si_pid == 0 && timer.elapsed() < 10000) {
        ASSERT_EQ(::waitid(P_PID, id_t(zombie), &ended, WEXITED | WNOWAIT | WNOHANG), 0);
        if (ended.si_pid == 0)
            QThread::msleep(1);
    }
    ASSERT_EQ(ended.si_pid, zombie) << "the child did not end";
    const QList<QByteArray> lines = platform::processes::commandPathListing().split('\n');
    EXPECT_TRUE(lines.contains(core.path().toUtf8()));
    EXPECT_FALSE(lines.contains(own));
    // The zombie would be listed by its process name, its path being gone.
    EXPECT_FALSE(lines.contains(QFileInfo(QString::fromUtf8(own)).fileName().left(15).toUtf8()));
    int status = 0;
    ::waitpid(zombie, &status, 0);
}
