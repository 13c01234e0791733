// Whole runs of the launcher's place in the desktop: the menu entry and icons
// follow the copy that runs and go with it, and the windows name the entry.

#include "LauncherRun.h"
#include "TestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using namespace testing_support;

namespace {

constexpr int kTimeoutMs = 60000;
const int kIconSizes[] = {16, 24, 32, 48, 64, 128, 256, 512};

QString dataHome(const LauncherRun& run)
{
    return run.home() + QStringLiteral("/.local/share");
}

QStringList entries(const LauncherRun& run)
{
    return QDir(dataHome(run) + QStringLiteral("/applications")).entryList({QStringLiteral("*.desktop")}, QDir::Files);
}

QString entryFile(const LauncherRun& run)
{
    return dataHome(run) + QStringLiteral("/applications/com.quorbel.Quorbel.desktop");
}

QString entryValue(const LauncherRun& run, const QString& key)
{
    for (const QString& line : QString::fromUtf8(readFile(entryFile(run))).split(u'\n')) {
        if (line.startsWith(key + u'='))
            return line.mid(key.size() + 1);
    }
    return {};
}

QString iconFile(const LauncherRun& run, int size)
{
    return dataHome(run) + QStringLiteral("/icons/hicolor/%1x%1/apps/com.quorbel.Quorbel.png").arg(size);
}

int countInLogs(const LauncherRun& run, const QString& message)
{
    int count = 0;
    QDirIterator logs(run.home() + QStringLiteral("/Library/Logs/Quorbel/Quorbel"), {QStringLiteral("*.log")});
    while (logs.hasNext())
        count += int(QString::fromUtf8(readFile(logs.next())).count(message));
    return count;
}

bool waitFor(const std::function<bool()>& condition, int timeoutMs = kTimeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QThread::msleep(50);
    }
    return true;
}

// Processes started from the scratch tree whose executable is named `name`.
QList<pid_t> processesNamed(const QString& tree, const QString& name)
{
    QList<pid_t> pids;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool isPid = false;
        const pid_t pid = pid_t(entry.toInt(&isPid));
        const QString exe = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(entry));
        if (isPid && exe.startsWith(tree) && (name.isEmpty() || QFileInfo(exe).fileName() == name))
            pids.append(pid);
    }
    return pids;
}

class DesktopEntryRun : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (const pid_t pid : processesNamed(QFileInfo(run.home()).path(), {}))
            ::kill(pid, SIGKILL);
    }

    // A launch of a copy of `source` at `bundle`, declining the move.
    int runCopy(const QString& source, const QString& bundle)
    {
        EXPECT_TRUE(waitFor([&] { return processesNamed(QFileInfo(run.home()).path(), "QuorbelCore").isEmpty(); }));
        QDir().mkpath(QFileInfo(bundle).path());
        EXPECT_EQ(QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-a"), source, bundle}), 0);
        QProcess launcher;
        QProcessEnvironment environment = run.environment();
        environment.insert(QStringLiteral("QUORBEL_ALERT_ANSWER"), QStringLiteral("Do Not Move"));
        launcher.setProcessEnvironment(environment);
        launcher.start(bundle + QStringLiteral("/Contents/MacOS/Quorbel"), QStringList());
        if (!launcher.waitForFinished(kTimeoutMs))
            return -1;
        return launcher.exitCode();
    }

    LauncherRun run{QStringLiteral("~/Downloads")};
};

TEST_F(DesktopEntryRun, FollowsTheCopyThatRunsAndGoesWithIt)
{
    const QString installed = run.root() + QStringLiteral("/Applications/Quorbel.app");
    // An old install there, as the move replaces it.
    makeBundle(installed, {{QStringLiteral("CFBundleIdentifier"), QStringLiteral("com.quorbel.Quorbel")}});
    const QString coreStarted = QStringLiteral("Launching \"%1/Contents/Resources/QuorbelCore.app").arg(installed);
    run.environment().insert(QStringLiteral("QUORBEL_ALERT_ANSWER"), QStringLiteral("Move to Applications Folder"));
    ASSERT_EQ(run.run(), 0) << run.logLines().join(u'\n').toStdString();
    // The relaunched copy writes the entry once it has started the core.
    ASSERT_TRUE(waitFor([&] { return countInLogs(run, QStringLiteral("Will terminate now")) >= 1; }));
    ASSERT_TRUE(waitFor([&] { return processesNamed(installed, "Quorbel").isEmpty(); }));

    ASSERT_EQ(entries(run), QStringList{QStringLiteral("com.quorbel.Quorbel.desktop")});
    EXPECT_EQ(entryValue(run, QStringLiteral("X-Quorbel-Bundle")), installed);
    QProcess validate;
    validate.start(QStringLiteral("desktop-file-validate"), {entryFile(run)});
    ASSERT_TRUE(validate.waitForFinished(kTimeoutMs)) << "desktop-file-validate (desktop-file-utils) is needed";
    EXPECT_EQ(validate.exitCode(), 0) << validate.readAll().toStdString();
    EXPECT_EQ(validate.readAll(), QByteArray());
    for (const int size : kIconSizes)
        EXPECT_EQ(readFile(iconFile(run, size)),
                  readFile(installed + QStringLiteral("/Contents/Resources/AppIcon.iconset/icon_%1x%1.png").arg(size)))
            << size;

    // The menu's way of starting it: the installed launcher runs again.
    ASSERT_EQ(countInLogs(run, coreStarted), 1);
    ASSERT_TRUE(waitFor([&] { return processesNamed(QFileInfo(run.home()).path(), "QuorbelCore").isEmpty(); }));
    QProcess gio;
    gio.setProcessEnvironment(run.environment());
    gio.setProcessChannelMode(QProcess::ForwardedChannels);
    gio.start(QStringLiteral("gio"), {QStringLiteral("launch"), entryFile(run)});
    ASSERT_TRUE(gio.waitForFinished(kTimeoutMs));
    EXPECT_EQ(gio.exitCode(), 0);
    EXPECT_TRUE(waitFor([&] { return countInLogs(run, coreStarted) == 2; }));
    const QByteArray entryBefore = readFile(entryFile(run));

    // A copy in the user's Applications folder takes the entry over.
    const QString mine = run.home() + QStringLiteral("/Applications/Quorbel.app");
    ASSERT_EQ(runCopy(installed, mine), 0);
    EXPECT_EQ(entries(run), QStringList{QStringLiteral("com.quorbel.Quorbel.desktop")});
    EXPECT_EQ(entryValue(run, QStringLiteral("X-Quorbel-Bundle")), mine);
    EXPECT_NE(readFile(entryFile(run)), entryBefore);

    // Gone: the next launch of any copy removes its entry and icons.
    ASSERT_TRUE(QDir(mine).removeRecursively());
    ASSERT_EQ(runCopy(installed, run.home() + QStringLiteral("/Elsewhere/Quorbel.app")), 0);
    EXPECT_FALSE(QFileInfo::exists(entryFile(run)));
    for (const int size : kIconSizes)
        EXPECT_FALSE(QFileInfo::exists(iconFile(run, size))) << size;
}

TEST_F(DesktopEntryRun, CommandLineWritesReportsAndRemovesTheEntry)
{
    struct Step {
        const char* option;
        int status;
        const char* printed; // start of the first output line
        bool entryAfter;
    };
    const Step steps[] = {
        {"--integration-status", 1, "missing\t", false}, {"--integrate", 0, "/", true},
        {"--integration-status", 0, "current\t", true},  {"--remove-integration", 0, "/", false},
        {"--integration-status", 1, "missing\t", false},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.option);
        EXPECT_EQ(run.run({QString::fromLatin1(step.option)}), step.status) << run.standardError().toStdString();
        EXPECT_TRUE(run.standardOutput().startsWith(QString::fromUtf8(step.printed))) << run.standardOutput().toStdString();
        EXPECT_EQ(QFileInfo::exists(entryFile(run)), step.entryAfter);
    }
    writeFile(entryFile(run), "[Desktop Entry]\nType=Application\nName=Other\nExec=other\n");
    EXPECT_EQ(run.run({QStringLiteral("--integrate")}), 2);
    EXPECT_EQ(run.run({QStringLiteral("--remove-integration")}), 2);
    EXPECT_EQ(run.run({QStringLiteral("--integration-status")}), 1);
    EXPECT_TRUE(run.standardOutput().startsWith(QStringLiteral("not-ours\t")));
}

// An X server with a window manager, for as long as the test runs.
class Display {
public:
    bool start(QString* why)
    {
        for (const char* program : {"Xvfb", "openbox", "xprop"}) {
            if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty()) {
                *why = QStringLiteral("%1 is not installed").arg(QLatin1String(program));
                return false;
            }
        }
        // The server picks a free display and names it on its standard output.
        m_server.start(QStringLiteral("Xvfb"),
                       {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"), QStringLiteral("0"),
                        QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        QByteArray number;
        waitFor(
            [&] {
                m_server.waitForReadyRead(100);
                number += m_server.readAllStandardOutput();
                return number.endsWith('\n') || m_server.state() == QProcess::NotRunning;
            },
            15000);
        m_name = u':' + QString::fromLatin1(number.trimmed());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), m_name);
        m_manager.setProcessEnvironment(environment);
        m_manager.start(QStringLiteral("openbox"), QStringList());
        const bool managed = waitFor([&] { return rootProperty("_NET_SUPPORTING_WM_CHECK").contains("window id"); }, 15000);
        if (!managed)
            *why = QStringLiteral("no X server with openbox could be started");
        return managed;
    }
    ~Display()
    {
        for (QProcess* process : {&m_manager, &m_server}) {
            process->terminate(); // the server removes its lock and socket
            if (!process->waitForFinished(5000))
                process->kill();
        }
    }
    QString name() const { return m_name; }
    QByteArray rootProperty(const char* name) const { return xprop({"-root", name}); }
    QByteArray windowProperty(const QByteArray& window, const char* name) const
    {
        // xprop reads the first megabyte by default, less than the largest icon.
        return xprop({"-len", "100000000", "-id", window.constData(), name});
    }

private:
    QByteArray xprop(std::initializer_list<const char*> arguments) const
    {
        QProcess xprop;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), m_name);
        xprop.setProcessEnvironment(environment);
        QStringList list;
        for (const char* argument : arguments)
            list.append(QString::fromLatin1(argument));
        xprop.start(QStringLiteral("xprop"), list);
        xprop.waitForFinished(10000);
        return xprop.readAllStandardOutput();
    }

    QString m_name;
    QProcess m_server;
    QProcess m_manager;
};

TEST(WindowIdentityRun, TheCheckWindowNamesTheEntryAndCarriesTheApplicationIcon)
{
    Display display;
    QString why;
    if (!display.start(&why)) {
        if (qEnvironmentVariable("CI") == QLatin1String("true"))
            FAIL() << why.toStdString();
        GTEST_SKIP() << why.toStdString();
    }
    LauncherRun run;
    ASSERT_EQ(run.run({QStringLiteral("--integrate")}), 0) << run.standardError().toStdString();
    const QString startupClass = entryValue(run, QStringLiteral("StartupWMClass"));
    ASSERT_FALSE(startupClass.isEmpty());
    // A core others may change: the check window asks the user.
    ASSERT_EQ(::chmod(QFile::encodeName(run.resources() + QStringLiteral("/QuorbelCore.app")).constData(), 0775), 0);

    QProcess launcher;
    QProcessEnvironment environment = run.environment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("DISPLAY"), display.name());
    launcher.setProcessEnvironment(environment);
    launcher.setProcessChannelMode(QProcess::ForwardedChannels);
    launcher.start(run.executable(), QStringList());
    QByteArray window;
    const bool shown = waitFor([&] {
        const QRegularExpressionMatch match = QRegularExpression(QStringLiteral("(0x[0-9a-f]+)"))
                                                  .match(QString::fromLatin1(display.rootProperty("_NET_CLIENT_LIST")));
        window = match.captured(1).toLatin1();
        return match.hasMatch();
    });
    const QByteArray wmClass = shown ? display.windowProperty(window, "WM_CLASS") : QByteArray();
    const QByteArray icon = shown ? display.windowProperty(window, "_NET_WM_ICON") : QByteArray();
    const QByteArray title = shown ? display.windowProperty(window, "_NET_WM_NAME") : QByteArray();
    const QByteArray oldTitle = shown ? display.windowProperty(window, "WM_NAME") : QByteArray();
    launcher.kill();
    launcher.waitForFinished();
    ASSERT_TRUE(shown) << "no window was mapped";

    // WM_CLASS(STRING) = "instance", "class"
    const QRegularExpressionMatch names
        = QRegularExpression(QStringLiteral(R"re(= "([^"]*)", "([^"]*)")re")).match(QString::fromLatin1(wmClass));
    ASSERT_TRUE(names.hasMatch()) << wmClass.toStdString();
    EXPECT_EQ(names.captured(2), startupClass);
    // Every size the bundle ships, the largest included; Qt sets none of its own.
    QStringList sizes;
    const QRegularExpression iconHeader(QStringLiteral(R"(Icon \((\d+) x (\d+)\))"));
    for (auto it = iconHeader.globalMatch(QString::fromLatin1(icon)); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        sizes.append(match.captured(1) + u'x' + match.captured(2));
    }
    EXPECT_EQ(sizes, (QStringList{"16x16", "24x24", "32x32", "48x48", "64x64", "128x128", "256x256", "512x512"}));
    EXPECT_TRUE(title.contains("= \"") && !title.contains("= \"\"")) << title.toStdString();
    EXPECT_TRUE(oldTitle.contains("= \"") && !oldTitle.contains("= \"\"")) << oldTitle.toStdString();
}

} // namespace
