// Whole runs of the launcher through its check window, answered as a user
// would (QUORBEL_CHECK_WINDOW_ANSWER, QUORBEL_ALERT_ANSWER), with a stub
// update tool in the scratch system tree; on a real desktop, the windows as
// the window manager sees them.

#include "Desktop.h"
#include "LauncherRun.h"
#include "QtPrinters.h"
#include "TestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using namespace testing_support;

namespace {

// The update tool: prints the launcher's version when asked without
// arguments, records every command and carries out "repaircore" with
// `repairCore`.
QString stubBody(const QString& record, const QString& repairCore)
{
    return QStringLiteral("if [ $# -eq 0 ]; then echo '1.19.0 (5)'; exit 0; fi\n"
                          "printf '%s\\n' \"$*\" >> '%1'\n"
                          "if [ \"$1\" = repaircore ]; then %2; fi\n"
                          "exit 0")
        .arg(record, repairCore);
}

class CheckWindowRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "the update tool must be owned by root and the privileged start needs root here";
    }

    // A manifest of the update tool and the core, the core's mode broken.
    void prepare(bool failRepairs) { prepare(failRepairs ? QStringLiteral("exit 4") : QStringLiteral("chmod 755 \"$2\"")); }
    void prepare(const QString& repairCore)
    {
        const QString installed = run.root() + QStringLiteral("/Library/Application Support/Quorbel/updateqb");
        const QVariantList items{
            QVariantMap{{"Type", "QBToolRoot"},
                        {"Name", "updateqb"},
                        {"InstallPath", installed},
                        {"Resource", "updateqb"},
                        {"Signature", "updateqb.sig"}},
            QVariantMap{{"Type", "CoreApp"}, {"Name", "QuorbelCore"}, {"Resource", "QuorbelCore.app"}},
        };
        ASSERT_TRUE(writePlist(run.resources() + "/RequiredItems.plist", QVariantMap{{"RequiredItems", items}}));
        const QString body = stubBody(record(), repairCore);
        makeScript(installed, body);
        ASSERT_EQ(::chmod(QFile::encodeName(installed).constData(), 04755), 0);
        makeScript(run.resources() + "/updateqb", body);
        writeFile(run.resources() + "/updateqb.sig", "signature");
        ASSERT_EQ(::chmod(QFile::encodeName(core()).constData(), 0775), 0);
    }
    QString core() const { return run.resources() + "/QuorbelCore.app"; }
    QString record() const { return run.home() + "/updateqb.argv"; }
    QStringList recorded() const { return QString::fromUtf8(readFile(record())).split(u'\n', Qt::SkipEmptyParts); }
    QString log() const { return run.logLines().join(u'\n'); }

    LauncherRun run;
};

} // namespace

TEST_F(CheckWindowRun, ContinueRepairsTheCoreThroughTheUpdateToolAndStartsIt)
{
    prepare(false);
    run.environment().insert("QUORBEL_CHECK_WINDOW_ANSWER", "Continue");
    ASSERT_EQ(run.run(), 0) << run.standardError().toStdString();
    EXPECT_TRUE(run.standardError().contains("Unattended check window: answered \"Continue\""));
    EXPECT_EQ(recorded(), (QStringList{"repair " + run.resources() + "/updateqb.sig", "repaircore " + core()}));
    const QStringList normal = run.normalMessages();
    EXPECT_TRUE(normal.contains("User chose to repair")) << log().toStdString();
    EXPECT_TRUE(normal.contains("Repair run succeeded"));
    EXPECT_TRUE(normal.contains("Will terminate now"));
    const QStringList coreLog = run.coreLog();
    ASSERT_FALSE(coreLog.isEmpty());
    EXPECT_TRUE(coreLog.last().endsWith("QuorbelCore started"));
}

TEST_F(CheckWindowRun, AFailingToolShowsTheFailureAlertAndTheWindowStaysUntilTheUserQuits)
{
    prepare(true);
    run.environment().insert("QUORBEL_CHECK_WINDOW_ANSWER", "Continue,Quit");
    run.environment().insert("QUORBEL_ALERT_ANSWER", "OK");
    ASSERT_EQ(run.run(), 0) << run.standardError().toStdString();
    const QString errors = run.standardError();
    EXPECT_TRUE(errors.contains("Unattended alert: \"The repair did not succeed\"")) << errors.toStdString();
    EXPECT_LT(errors.indexOf("Unattended alert"), errors.indexOf("answered \"Quit\"")) << errors.toStdString();
    const QStringList normal = run.normalMessages();
    EXPECT_TRUE(normal.contains("Repair run failed")) << log().toStdString();
    EXPECT_EQ(normal.last(), "User chose to quit");
    EXPECT_FALSE(normal.contains("Will terminate now"));
    EXPECT_TRUE(run.coreLog(500).isEmpty());
}

// The repair waited, and a core started meanwhile (the tool starts one
// here): the launch looks once more and starts no second core.
TEST_F(CheckWindowRun, ACoreThatStartedDuringTheRepairIsNotJoinedByASecond)
{
    const QString pidFile = run.home() + "/other-core.pid";
    const QString otherCore = run.home() + "/QuorbelCore";
    ASSERT_TRUE(QFile::copy("/bin/sleep", otherCore));
    prepare(QStringLiteral("chmod 755 \"$2\"; setsid '%1' 30 & echo $! > '%2'").arg(otherCore, pidFile));
    run.environment().insert("QUORBEL_CHECK_WINDOW_ANSWER", "Continue");
    const int status = run.run();
    const qint64 other = readFile(pidFile).trimmed().toLongLong();
    if (other > 0)
        ::kill(pid_t(other), SIGKILL);
    EXPECT_EQ(status, 0) << run.standardError().toStdString();
    const QStringList normal = run.normalMessages();
    EXPECT_TRUE(normal.contains("Repair run succeeded")) << log().toStdString();
    EXPECT_TRUE(normal.contains("Not launching: a core started while the launcher waited")) << log().toStdString();
    EXPECT_TRUE(run.coreLog(500).isEmpty());
}

namespace {

const char* const kMaximiseOrResize[] = {"_NET_WM_ACTION_MAXIMIZE_HORZ", "_NET_WM_ACTION_MAXIMIZE_VERT",
                                         "_NET_WM_ACTION_RESIZE"};

// The same runs under Xvfb with openbox, driven from the keyboard and read
// back as the window manager sees the windows.
class CheckWindowOnADesktop : public CheckWindowRun {
protected:
    static void SetUpTestSuite() { desktop = X11Desktop::start(&why).release(); }
    static void TearDownTestSuite()
    {
        delete desktop;
        desktop = nullptr;
    }

    void SetUp() override
    {
        CheckWindowRun::SetUp();
        if (IsSkipped())
            return;
        if (!desktop && desktopsAreRequired())
            FAIL() << why.toStdString();
        if (!desktop)
            GTEST_SKIP() << why.toStdString();
        desktop->enter(run.environment());
        run.environment().remove("QUORBEL_CHECK_WINDOW_ANSWER");
        run.environment().remove("QUORBEL_ALERT_ANSWER");
    }

    // Waits until the launcher shows `count` windows; they are in `windows`.
    bool waitForWindows(qsizetype count)
    {
        return waitUntil([&] {
            windows = desktop->windowsOf(run.processId());
            return windows.size() == count;
        });
    }

    // The functions a window asks its manager for through _MOTIF_WM_HINTS
    // (0 when it asks for none in particular).
    std::string motifHints(const QString& window) const
    {
        return desktop->tool("xprop", {"-id", window, "_MOTIF_WM_HINTS"}).toStdString();
    }
    uint functionsAskedFor(const QString& window) const
    {
        const QStringList hints = QString::fromStdString(motifHints(window)).section(u'=', 1).split(u',');
        // xprop shows them in hexadecimal ("0x3, 0x4, ...").
        const auto number = [&](qsizetype i) { return hints.at(i).trimmed().toUInt(nullptr, 0); };
        return hints.size() == 5 && (number(0) & 1) ? number(1) : 0;
    }

    // A sheet: transient for the window, centred on it inside its client area
    // (never over its title bar), and not resizable; it asks for neither
    // minimising nor maximising, and for closing only when `closes`. openbox
    // offers minimising and closing to every titled window whatever it is
    // asked, and takes only the rest from the hints.
    void expectSheet(const QString& sheet, bool closes) const
    {
        const QString window = windows.first();
        EXPECT_EQ(desktop->windowProperty(sheet, "WM_TRANSIENT_FOR"), window);
        const QRect area = desktop->rectangle(window);
        QRect frame;
        EXPECT_TRUE(waitUntil([&] {
            frame = desktop->rectangle(sheet, true);
            return area.contains(frame);
        })) << "sheet "
            << frame << " window " << area;
        EXPECT_LE(std::abs(frame.center().x() - desktop->rectangle(window, true).center().x()), 1);
        const QStringList actions = desktop->atomsProperty(sheet, "_NET_WM_ALLOWED_ACTIONS");
        ASSERT_TRUE(actions.contains("_NET_WM_ACTION_MOVE")) << actions.join(u' ').toStdString();
        for (const char* refused : kMaximiseOrResize)
            EXPECT_FALSE(actions.contains(refused)) << refused;
        // Move and, where it means something, close: nothing else, nor "all".
        EXPECT_EQ(functionsAskedFor(sheet), kMotifMove | (closes ? kMotifClose : 0)) << motifHints(sheet);
    }

    static constexpr uint kMotifMove = 4;
    static constexpr uint kMotifMinimise = 8;
    static constexpr uint kMotifClose = 32;
    static X11Desktop* desktop;
    static QString why;
    QStringList windows;
};

X11Desktop* CheckWindowOnADesktop::desktop = nullptr;
QString CheckWindowOnADesktop::why;

} // namespace

TEST_F(CheckWindowOnADesktop, TheWindowAndItsSheetsAreDialogsTheWindowManagerKeepsInPlace)
{
    // The tool hangs until told to fail, so that the progress sheet stays.
    const QString fail = run.home() + "/fail-now";
    prepare(QStringLiteral("while [ ! -e '%1' ]; do sleep 0.05; done; exit 4").arg(fail));
    run.environment().insert("QUORBEL_STOP_BUTTON_AFTER_MS", "1000");
    // Every widget its own X window: xwininfo sees where the sheet's parts lie.
    run.environment().insert("QT_USE_NATIVE_WINDOWS", "1");
    run.start();
    ASSERT_TRUE(waitForWindows(1));
    const QString window = windows.first();
    const QStringList actions = desktop->atomsProperty(window, "_NET_WM_ALLOWED_ACTIONS");
    ASSERT_TRUE(actions.contains("_NET_WM_ACTION_CLOSE")) << actions.join(u' ').toStdString();
    for (const char* refused : kMaximiseOrResize)
        EXPECT_FALSE(actions.contains(refused)) << refused;
    EXPECT_EQ(functionsAskedFor(window), kMotifMove | kMotifMinimise | kMotifClose) << motifHints(window);

    // Space presses the button that has the focus: it must be "Continue".
    ASSERT_TRUE(desktop->type(window, "space"));
    ASSERT_TRUE(waitForWindows(2)) << log().toStdString();
    const QString progress = windows.last();
    expectSheet(progress, false);
    // Escape must not dismiss it; the Stop button appearing later shows the key was handled.
    ASSERT_TRUE(desktop->type(progress, "Escape"));
    QList<QRect> parts;
    // Read once the layout has settled: the button shows a moment before the sheet has grown.
    const auto apart = [&] {
        for (qsizetype i = 0; i < parts.size(); ++i)
            for (qsizetype j = i + 1; j < parts.size(); ++j)
                if (parts[i].intersects(parts[j]))
                    return false;
        return true;
    };
    ASSERT_TRUE(waitUntil([&] {
        parts = desktop->children(progress);
        return parts.size() == 3 && apart();
    })) << "no Stop button, or the sheet's parts over each other";
    EXPECT_EQ(desktop->windowsOf(run.processId()), (QStringList{window, progress}));
    expectSheet(progress, false);
    const QRect inside(QPoint(0, 0), desktop->rectangle(progress).size());
    for (qsizetype i = 0; i < parts.size(); ++i) {
        EXPECT_TRUE(inside.contains(parts[i])) << parts[i] << " outside " << inside;
        for (qsizetype j = i + 1; j < parts.size(); ++j)
            EXPECT_FALSE(parts[i].intersects(parts[j])) << parts[i] << " over " << parts[j];
    }

    // The failed run's alert is a sheet too.
    writeFile(fail, "");
    ASSERT_TRUE(waitUntil([&] {
        windows = desktop->windowsOf(run.processId());
        return windows.size() == 2 && windows.last() != progress;
    }));
    const QString alert = windows.last();
    expectSheet(alert, true);
    ASSERT_TRUE(desktop->type(alert, "Return"));
    ASSERT_TRUE(waitForWindows(1));
    // Escape on the window presses "Quit".
    ASSERT_TRUE(desktop->type(window, "Escape"));
    ASSERT_EQ(run.finish(), 0) << run.standardError().toStdString();
    const QStringList normal = run.normalMessages();
    EXPECT_TRUE(normal.contains("User chose to repair")) << log().toStdString();
    EXPECT_TRUE(normal.contains("Repair run failed"));
    EXPECT_EQ(normal.last(), "User chose to quit");
}

TEST_F(CheckWindowRun, UnderWaylandTheWindowItsSheetsAndAlertsAreAnsweredWithoutAWord)
{
    QString why;
    const std::unique_ptr<WaylandDesktop> desktop = WaylandDesktop::start(&why);
    if (!desktop && desktopsAreRequired())
        FAIL() << why.toStdString();
    if (!desktop)
        GTEST_SKIP() << why.toStdString();
    prepare(true);
    desktop->enter(run.environment());
    run.environment().insert("QUORBEL_CHECK_WINDOW_ANSWER", "Continue,Quit");
    run.environment().insert("QUORBEL_ALERT_ANSWER", "OK");
    ASSERT_EQ(run.run(), 0) << run.standardError().toStdString();
    // Nothing but the answers and the launcher's own log lines: no word from the window system.
    const QStringList logged = run.logLines();
    int answers = 0;
    for (const QString& line : run.standardError().split(u'\n', Qt::SkipEmptyParts)) {
        answers += line.startsWith("Unattended ");
        EXPECT_TRUE(line.startsWith("Unattended ") || logged.contains(line)) << line.toStdString();
    }
    EXPECT_EQ(answers, 3) << run.standardError().toStdString();
    EXPECT_EQ(run.normalMessages().last(), "User chose to quit") << log().toStdString();
}
