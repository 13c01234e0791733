// Whole runs of the authorised move and of privileged tool runs, with the real
// absolute folders: this program runs in a private mount namespace whose
// /Applications, /Library and /Volumes are fresh root-owned tmpfs folders
// (scripts/in-private-root.sh). Ordinary-user runs go through the counting
// stand-in for pkexec, installed set-user-ID root in a 0700 scratch folder,
// with the launcher started as "nobody" by setpriv.

#include "Authorization.h"
#include "BrandingManager.h"
#include "Bundle.h"
#include "Desktop.h"
#include "LocalizedString.h"
#include "PrivateRoot.h"
#include "PrivilegedRequests.h"
#include "TestSupport.h"
#include "TreeListing.h"
#include "UpdateToolManager.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <functional>

#include <csignal>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace testing_support;

namespace {

constexpr uid_t kUser = 65534; // nobody
constexpr const char* kProduct = "com.quorbel.Quorbel";
constexpr int kTimeoutMs = 60000;
const QString kMoveAnswer = QStringLiteral("Move to Applications Folder");

int run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(kTimeoutMs) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    return process.exitCode();
}

void emptyFolder(const QString& folder)
{
    for (const QString& name : QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
        run(QStringLiteral("rm"), {QStringLiteral("-rf"), folder + u'/' + name});
}

// The first 32 bytes of each file are enough to tell the trees apart.
QStringList listing(const QString& root)
{
    return treeListing(root, 32);
}

class PrivateRootTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QB_REQUIRE_PRIVATE_ROOT();
        emptyFolder(QStringLiteral("/Applications"));
        emptyFolder(QStringLiteral("/Library"));
        ::chmod(QFile::encodeName(m_dir.path()).constData(), 0755);
    }
    void TearDown() override
    {
        stopStrays();
        emptyFolder(QStringLiteral("/Applications"));
        emptyFolder(QStringLiteral("/Library"));
    }

    // Launchers started by a test: anything running from its folders.
    void stopStrays() const
    {
        for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            bool isPid = false;
            const qint64 pid = entry.toLongLong(&isPid);
            const QString exe = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(entry));
            if (isPid && pid != ::getpid()
                && (exe.startsWith(m_dir.path()) || exe.startsWith(QStringLiteral("/Applications/"))))
                ::kill(pid_t(pid), SIGKILL);
        }
    }

    // A bundle owned by root (made by this root process) or by the user.
    static QString makeCopy(const QString& path, const QString& identifier, bool userOwned = false)
    {
        makeBundle(path, {{QStringLiteral("CFBundleIdentifier"), identifier}});
        writeFile(path + QStringLiteral("/Contents/Resources/precious.txt"), "keep");
        if (userOwned)
            run(QStringLiteral("chown"), {QStringLiteral("-R"), QStringLiteral("%1:%1").arg(kUser), path});
        return path;
    }

    QTemporaryDir m_dir;
};

class AuthorisedMoveRun : public PrivateRootTest {
protected:
    void SetUp() override
    {
        PrivateRootTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ASSERT_TRUE(QFileInfo(QString::fromUtf8(QB_BUNDLE_DIR)).isDir()) << "build the bundle target first";
        for (const QString& folder : {home() + QStringLiteral("/Downloads"), state(), bin()})
            ASSERT_TRUE(QDir().mkpath(folder));
        ASSERT_EQ(run(QStringLiteral("cp"), {QStringLiteral("-a"), QString::fromUtf8(QB_BUNDLE_DIR), source()}), 0);
        ASSERT_EQ(run(QStringLiteral("chown"),
                      {QStringLiteral("-R"), QStringLiteral("%1:%1").arg(kUser), home(), state(), bin()}),
                  0);
        // The stand-in for pkexec: set-user-ID root, reachable only by the user.
        ASSERT_EQ(::chmod(QFile::encodeName(bin()).constData(), 0700), 0);
        ASSERT_TRUE(QFile::copy(QString::fromUtf8(QB_FAKE_PKEXEC), pkexec()));
        ASSERT_EQ(::chown(QFile::encodeName(pkexec()).constData(), 0, 0), 0);
        ASSERT_EQ(::chmod(QFile::encodeName(pkexec()).constData(), 04755), 0);
    }

    QString home() const { return m_dir.path() + QStringLiteral("/home"); }
    QString state() const { return m_dir.path() + QStringLiteral("/state"); }
    QString bin() const { return m_dir.path() + QStringLiteral("/bin"); }
    QString pkexec() const { return bin() + QStringLiteral("/pkexec"); }
    QString source() const { return home() + QStringLiteral("/Downloads/Quorbel.app"); }
    QString trash() const { return home() + QStringLiteral("/.local/share/Trash/files"); }
    int prompts() const { return readFile(state() + QStringLiteral("/count")).trimmed().toInt(); }

    // As the user, the command `script` (sh) while the prompt is open.
    void duringPrompt(const QString& script)
    {
        writeFile(state() + QStringLiteral("/during-prompt"), ("#!/bin/sh\n" + script + "\n").toUtf8(), 0755);
    }

    // Starts the downloaded launcher as the user, answering the move alert;
    // answers its standard error.
    QString runDownloadedLauncher() { return runLauncher(source(), kMoveAnswer, {}); }

    // Starts the launcher of `bundle` as the user with the alert answer and
    // extra settings; `whileRunning` may end it early (answers true when it did).
    QString runLauncher(const QString& bundle, const QString& answer, const QStringList& extra,
                        const std::function<bool(qint64 pid)>& whileRunning = {})
    {
        return runAsUser(bundle + QStringLiteral("/Contents/MacOS/Quorbel"),
                         QStringList{QStringLiteral("QUORBEL_ALERT_ANSWER=") + answer,
                                     QStringLiteral("QUORBEL_CHECK_WINDOW_ANSWER=Quit")}
                             + extra,
                         whileRunning);
    }

    // Kills the launcher (SIGKILL, no chance to tidy up) once its log holds `line`.
    std::function<bool(qint64)> killWhenLogged(const QString& line) const
    {
        return [this, line](qint64 pid) {
            if (!launcherLog().contains(line))
                return false;
            ::kill(pid_t(pid), SIGKILL);
            return true;
        };
    }

    // Starts `executable` as the user with `settings` added to its environment.
    QString runAsUser(const QString& executable, const QStringList& settings,
                      const std::function<bool(qint64 pid)>& whileRunning = {})
    {
        QProcess launcher;
        const QStringList environment = QStringList{
            QStringLiteral("HOME=") + home(),
            QStringLiteral("PATH=/usr/bin:/bin"),
            QStringLiteral("XDG_CONFIG_HOME=") + home() + QStringLiteral("/.config"),
            QStringLiteral("XDG_DATA_HOME=") + home() + QStringLiteral("/.local/share"),
            QStringLiteral("QT_QPA_PLATFORM=offscreen"),
            QStringLiteral("QUORBEL_PKEXEC=") + pkexec(),
            QStringLiteral("QUORBEL_FAKE_PKEXEC_STATE=") + state(),
        } + settings;
        launcher.setProcessChannelMode(QProcess::SeparateChannels);
        launcher.setReadChannel(QProcess::StandardError);
        launcher.setWorkingDirectory(home());
        launcher.start(QStringLiteral("setpriv"),
                       QStringList{QStringLiteral("--reuid=%1").arg(kUser), QStringLiteral("--regid=%1").arg(kUser),
                                   QStringLiteral("--clear-groups"), QStringLiteral("env"), QStringLiteral("-i")}
                           + environment + QStringList{executable});
        // An alert nobody answers (the failure alert) waits for the user: seen, it is enough.
        QByteArray errors;
        QElapsedTimer timer;
        timer.start();
        while (launcher.state() != QProcess::NotRunning && timer.elapsed() < kTimeoutMs
               && !errors.contains("waiting for the user")) {
            if (whileRunning && whileRunning(launcher.processId())) {
                launcher.waitForFinished();
                break;
            }
            launcher.waitForReadyRead(whileRunning ? 2 : 100);
            errors += launcher.readAllStandardError();
        }
        if (launcher.state() != QProcess::NotRunning) {
            launcher.kill();
            launcher.waitForFinished();
        }
        errors += launcher.readAllStandardError();
        return QString::fromUtf8(errors);
    }

    QString launcherLog() const
    {
        QString text;
        QDirIterator logs(home() + QStringLiteral("/Library/Logs"), {QStringLiteral("*.log")}, QDir::Files,
                          QDirIterator::Subdirectories);
        while (logs.hasNext())
            text += QString::fromUtf8(readFile(logs.next()));
        return text;
    }

    static bool failureAlertShown(const QString& errors)
    {
        return errors.contains(QStringLiteral("Could not move to Applications folder"));
    }
};

// Owner root, no set-ID bits, u=rwX,go=rX throughout.
void expectRootOwnedPlainTree(const QString& root)
{
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    int entries = 0;
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat status {};
        ASSERT_EQ(::lstat(QFile::encodeName(path).constData(), &status), 0);
        ++entries;
        EXPECT_EQ(status.st_uid, 0u) << qPrintable(path);
        EXPECT_EQ(status.st_gid, 0u) << qPrintable(path);
        if (S_ISLNK(status.st_mode))
            continue;
        const mode_t mode = status.st_mode & 07777;
        EXPECT_TRUE(mode == 0755 || (S_ISREG(status.st_mode) && mode == 0644)) << qPrintable(path) << " " << std::oct << mode;
    }
    EXPECT_GT(entries, 3);
}

TEST_F(AuthorisedMoveRun, OnePromptInstallsARootOwnedCopyTrashesTheSourceAndRelaunches)
{
    const QString earlier = makeCopy(QStringLiteral("/Applications/Quorbel-2.app"), QString::fromLatin1(kProduct));
    struct stat found {};
    ASSERT_EQ(::stat(QFile::encodeName(earlier).constData(), &found), 0);
    struct stat downloaded {};
    ASSERT_EQ(::stat(QFile::encodeName(source()).constData(), &downloaded), 0);
    qint64 files = 0;
    qint64 bytes = 0;
    for (QDirIterator it(source(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext(); ++files)
        bytes += QFileInfo(it.next()).size();
    const QString errors = runDownloadedLauncher();

    EXPECT_EQ(prompts(), 1) << qPrintable(errors);
    // The helper is started for the move alone: what it installs and what it may remove.
    EXPECT_EQ(readFile(state() + QStringLiteral("/argv")).trimmed(),
              QStringLiteral("%1 %2/Contents/MacOS/quorbel-authhelper move /Applications Quorbel.app %3 %4 %5 %6 %7")
                  .arg(pkexec(), source())
                  .arg(downloaded.st_dev)
                  .arg(downloaded.st_ino)
                  .arg(earlier)
                  .arg(found.st_dev)
                  .arg(found.st_ino)
                  .toUtf8());
    expectRootOwnedPlainTree(QStringLiteral("/Applications/Quorbel.app"));
    EXPECT_TRUE(QFileInfo(QStringLiteral("/Applications/Quorbel.app/Contents/MacOS/Quorbel")).isExecutable());
    EXPECT_FALSE(QFileInfo::exists(earlier));
    EXPECT_FALSE(QFileInfo::exists(source()));
    EXPECT_TRUE(QFileInfo(trash() + QStringLiteral("/Quorbel.app/Contents/MacOS/Quorbel")).isExecutable());
    EXPECT_FALSE(failureAlertShown(errors)) << qPrintable(errors);
    // The helper's last progress line, as the launcher read it.
    EXPECT_TRUE(launcherLog().contains(QStringLiteral("Copied %1 of %1 files, %2 of %2 bytes").arg(files).arg(bytes)))
        << files << " files, " << bytes << " bytes\n"
        << qPrintable(launcherLog());
    // The installed copy is started once this one has ended.
    QElapsedTimer timer;
    timer.start();
    while (!launcherLog().contains(QStringLiteral("/Applications/Quorbel.app")) && timer.elapsed() < kTimeoutMs)
        QThread::msleep(100);
    EXPECT_TRUE(launcherLog().contains(QStringLiteral("/Applications/Quorbel.app"))) << qPrintable(launcherLog());
    EXPECT_EQ(prompts(), 1);
}

// The prompt's answers as the helper's service reports them: a dismissal ends
// quietly, a refusal shows the failure alert with what the user can do about
// it. That nothing is touched without the rights is in launcher_tests.
TEST_F(AuthorisedMoveRun, ADismissedPromptEndsQuietlyADeniedOneWithTheAlert)
{
    struct Case {
        const char* answer;
        const char* reasonKey; // null: no failure alert
    };
    platform::Bundle::setMainBundlePath(QString::fromUtf8(QB_BUNDLE_DIR));
    BrandingManager::resetSharedManagerForTesting();
    const QString earlier = QStringLiteral("/Applications/Quorbel-2.app");
    for (const Case& test : {Case{"1 dismiss\n", nullptr}, Case{"1 deny\n", "MoveReasonNotAuthorized"},
                             Case{"1 noagent\n", "MoveReasonNoPrompt"}}) {
        SCOPED_TRACE(test.answer);
        QFile::remove(state() + QStringLiteral("/count"));
        QDir(home() + QStringLiteral("/Library/Logs")).removeRecursively();
        makeCopy(earlier, QStringLiteral("com.example.old"), false);
        writeFile(state() + QStringLiteral("/answers"), test.answer);
        const QString errors = runLauncher(source(), kMoveAnswer + QStringLiteral("|OK"), {});

        EXPECT_EQ(prompts(), 1);
        EXPECT_EQ(failureAlertShown(errors), test.reasonKey != nullptr) << qPrintable(errors);
        if (test.reasonKey) {
            const QString reason = QBLocalizedString(QString::fromLatin1(test.reasonKey));
            EXPECT_FALSE(reason.isEmpty());
            EXPECT_TRUE(errors.contains(
                QStringLiteral("Unattended alert: \"Could not move to Applications folder\" \"%1\"").arg(reason)))
                << qPrintable(errors);
        }
        EXPECT_EQ(launcherLog().contains(QStringLiteral("Not moving because user canceled authorization")), !test.reasonKey)
            << qPrintable(launcherLog());
        EXPECT_TRUE(QFileInfo::exists(source()));
        EXPECT_TRUE(QFileInfo::exists(earlier + QStringLiteral("/Contents/Resources/precious.txt")));
        EXPECT_FALSE(QFileInfo::exists(QStringLiteral("/Applications/Quorbel.app")));
        stopStrays();
    }
}

// A NUL in the product name must not shorten an earlier copy's path to the
// Applications folder itself.
TEST_F(AuthorisedMoveRun, ANulInTheProductNameRemovesNothingElse)
{
    makeCopy(QStringLiteral("/Applications/Other.app"), QStringLiteral("com.example.other"), false);
    makeCopy(home() + QStringLiteral("/Applications/Keep.app"), QStringLiteral("com.example.keep"), true);
    const QString strings = source() + QStringLiteral("/Contents/Resources/en.lproj/Localizable.strings");
    QByteArray table = readFile(strings);
    table.replace("\"ProductName\" = \"Quorbel\";", "\"ProductName\" = \"\\0\";");
    ASSERT_TRUE(writeFile(strings, table));
    const QStringList applicationsBefore = listing(QStringLiteral("/Applications"));
    const QStringList userBefore = listing(home() + QStringLiteral("/Applications"));
    runDownloadedLauncher();

    EXPECT_EQ(prompts(), 1);
    QStringList applicationsAfter = listing(QStringLiteral("/Applications"));
    applicationsAfter.erase(
        std::remove_if(applicationsAfter.begin(), applicationsAfter.end(),
                       [](const QString& line) { return line.startsWith(QStringLiteral("/Quorbel.app")); }),
        applicationsAfter.end());
    EXPECT_EQ(applicationsAfter, applicationsBefore);
    EXPECT_EQ(listing(home() + QStringLiteral("/Applications")), userBefore);
}

// ~/Applications pointing at a root-owned folder: what is there is not the
// user's to remove, and administrator rights are never used in the home. The
// refused removal is logged and the move goes on.
TEST_F(AuthorisedMoveRun, AUserApplicationsLinkToARootFolderRemovesNothingThere)
{
    makeCopy(QStringLiteral("/Library/Shared/Quorbel Client-3.app"), QStringLiteral("com.example.shared"), false);
    ASSERT_TRUE(QFile::link(QStringLiteral("/Library/Shared"), home() + QStringLiteral("/Applications")));
    const QStringList before = listing(QStringLiteral("/Library"));
    const QString errors = runDownloadedLauncher();

    EXPECT_EQ(listing(QStringLiteral("/Library")), before);
    EXPECT_TRUE(errors.contains(QStringLiteral("Could not remove"))) << qPrintable(errors);
    EXPECT_FALSE(failureAlertShown(errors)) << qPrintable(errors);
    EXPECT_TRUE(QFileInfo::exists(QStringLiteral("/Applications/Quorbel.app/Contents/MacOS/Quorbel")));
}

// An earlier copy named in capitals counts as one for the launch, but only
// what ends in ".app" is ever removed with the rights: the refusal is logged
// and the move goes on.
TEST_F(AuthorisedMoveRun, AnEarlierCopyThatMayNotBeRemovedLeavesTheMoveGoingOn)
{
    const QString earlier = makeCopy(QStringLiteral("/Applications/Quorbel.APP"), QString::fromLatin1(kProduct));
    const QString errors = runDownloadedLauncher();

    EXPECT_EQ(prompts(), 1) << qPrintable(errors);
    EXPECT_TRUE(QFileInfo::exists(earlier + QStringLiteral("/Contents/Info.plist")));
    EXPECT_TRUE(QFileInfo(QStringLiteral("/Applications/Quorbel.app/Contents/MacOS/Quorbel")).isExecutable());
    EXPECT_FALSE(failureAlertShown(errors)) << qPrintable(errors);
    EXPECT_TRUE(launcherLog().contains(QStringLiteral("Not removing \"%1\"").arg(earlier))) << qPrintable(launcherLog());
}

// The user swaps a folder on the way to a found earlier copy for a link to a
// root-owned folder while the password prompt is open.
TEST_F(AuthorisedMoveRun, AFolderSwappedForALinkDuringThePromptLeadsNowhere)
{
    // The user's own folder inside the Applications folder.
    const QString identifier = QStringLiteral("com.quorbel.Quorbel");
    makeCopy(QStringLiteral("/Applications/Sub/Deeper/Old.app"), identifier, true);
    run(QStringLiteral("chown"),
        {QStringLiteral("-R"), QStringLiteral("%1:%1").arg(kUser), QStringLiteral("/Applications/Sub")});
    makeCopy(QStringLiteral("/Library/Precious/Old.app"), identifier, false);
    duringPrompt(QStringLiteral("cd /Applications/Sub && mv Deeper Deeper.gone && ln -s /Library/Precious Deeper"));
    const QStringList before = listing(QStringLiteral("/Library"));
    runDownloadedLauncher();

    EXPECT_EQ(prompts(), 1);
    EXPECT_TRUE(QFileInfo(QStringLiteral("/Applications/Sub/Deeper")).isSymLink()) << "the swap did not happen";
    EXPECT_EQ(listing(QStringLiteral("/Library")), before);
}

TEST_F(AuthorisedMoveRun, ADeviceNodeInTheSourceStopsTheInstallWithNothingLeftBehind)
{
    const QString resources = source() + QStringLiteral("/Contents/Resources/");
    ASSERT_EQ(::mknod(QFile::encodeName(resources + QStringLiteral("tty")).constData(), S_IFCHR | 0666, makedev(1, 3)), 0);
    writeFile(resources + QStringLiteral("shell"), "#!/bin/sh\n", 04755);
    run(QStringLiteral("chown"), {QStringLiteral("-R"), QStringLiteral("%1:%1").arg(kUser), source()});
    ::chmod(QFile::encodeName(resources + QStringLiteral("shell")).constData(), 04755);
    const QStringList sourceBefore = listing(source());
    const QString errors = runDownloadedLauncher();

    EXPECT_TRUE(failureAlertShown(errors)) << qPrintable(errors);
    EXPECT_TRUE(listing(QStringLiteral("/Applications")).isEmpty())
        << qPrintable(listing(QStringLiteral("/Applications")).join(u'\n'));
    EXPECT_EQ(listing(source()), sourceBefore);
}

TEST_F(AuthorisedMoveRun, ASetUserIdFileIsInstalledWithoutItsSpecialBits)
{
    const QString shell = source() + QStringLiteral("/Contents/Resources/shell");
    writeFile(shell, "#!/bin/sh\n", 0755);
    run(QStringLiteral("chown"), {QStringLiteral("-R"), QStringLiteral("%1:%1").arg(kUser), source()});
    ASSERT_EQ(::chmod(QFile::encodeName(shell).constData(), 06755), 0);
    const QString errors = runDownloadedLauncher();

    EXPECT_FALSE(failureAlertShown(errors)) << qPrintable(errors);
    expectRootOwnedPlainTree(QStringLiteral("/Applications/Quorbel.app"));
    EXPECT_TRUE(QFileInfo(QStringLiteral("/Applications/Quorbel.app/Contents/Resources/shell")).isExecutable());
}

// A user who makes the helper or the core of the download a link to files of
// their own: nothing of theirs ever runs as root or lands in /Applications.
TEST_F(AuthorisedMoveRun, LinksInTheSourceAreNeverInstalledNorRunAsRoot)
{
    struct Case {
        const char* what;
        const char* linked;
        int prompts;
    };
    const QString marker = m_dir.path() + QStringLiteral("/ran-as-root");
    for (const Case& test : {Case{"the core", "Contents/Resources/QuorbelCore.app/Contents/MacOS/QuorbelCore", 1},
                             Case{"the helper", "Contents/MacOS/quorbel-authhelper", 0}}) {
        SCOPED_TRACE(test.what);
        TearDown();
        run(QStringLiteral("rm"), {QStringLiteral("-rf"), home(), state(), bin()});
        SetUp();
        const QString own = home() + QStringLiteral("/.local/bin/tool");
        makeScript(own, QStringLiteral("[ \"$(id -u)\" = 0 ] && touch '%1'; exec sleep 1").arg(marker));
        const QString link = source() + u'/' + QLatin1String(test.linked);
        ASSERT_TRUE(QFile::remove(link));
        ASSERT_TRUE(QFile::link(own, link));
        run(QStringLiteral("chown"), {QStringLiteral("-R"), QStringLiteral("%1:%1").arg(kUser), home()});
        const QString errors = runDownloadedLauncher();

        EXPECT_EQ(prompts(), test.prompts) << qPrintable(errors);
        EXPECT_TRUE(failureAlertShown(errors)) << qPrintable(errors);
        EXPECT_TRUE(listing(QStringLiteral("/Applications")).isEmpty())
            << qPrintable(listing(QStringLiteral("/Applications")).join(u'\n'));
        EXPECT_FALSE(QFileInfo::exists(marker));
        EXPECT_TRUE(QFileInfo(link).isSymLink());
    }
}

// While the prompt is open (and later), another process of the same user
// cannot open the launcher's descriptors to write its own requests.
TEST_F(AuthorisedMoveRun, TheLaunchersDescriptorsAreOutOfReachOfTheUsersOtherProcesses)
{
    const QString marker = m_dir.path() + QStringLiteral("/ran");
    // The stand-in's parent is the launcher.
    duringPrompt(QStringLiteral("launcher=$(cut -d' ' -f4 /proc/$PPID/stat)\n"
                                "ls /proc/$launcher/fd > '%1/ls.out' 2> '%1/ls.err'\n"
                                "for fd in 3 4 5 6 7 8 9 10 11 12; do\n"
                                "  { printf 'run\\t/usr/bin/touch\\t%2\\n' > /proc/$launcher/fd/$fd; } 2>> '%1/write.err'\n"
                                "done\n"
                                "true")
                     .arg(state(), marker));
    const QString errors = runDownloadedLauncher();

    EXPECT_EQ(prompts(), 1) << qPrintable(errors);
    EXPECT_TRUE(readFile(state() + QStringLiteral("/ls.err")).contains("Permission denied"))
        << readFile(state() + QStringLiteral("/ls.err")).constData();
    EXPECT_TRUE(readFile(state() + QStringLiteral("/ls.out")).isEmpty());
    const QByteArray written = readFile(state() + QStringLiteral("/write.err"));
    EXPECT_EQ(written.count("Permission denied"), 10) << written.constData();
    EXPECT_FALSE(QFileInfo::exists(marker));
    EXPECT_FALSE(failureAlertShown(errors)) << qPrintable(errors);
    expectRootOwnedPlainTree(QStringLiteral("/Applications/Quorbel.app"));
}

// A launcher running as root, started from a bundle in a user's Downloads
// folder: the user swaps the bundle (or the folder) for a link while the
// launcher works. Nothing
// the link leads to is installed or trashed; what is installed has no link.
TEST_F(AuthorisedMoveRun, ARootLaunchersMoveWithARacingSwapNeverInstallsALink)
{
    struct Case {
        const char* what;
        const char* stopAt;
        const char* swap; // sh, in the Downloads folder's parent
        bool installed;
    };
    const QList<Case> cases{
        {"the download swapped for a link to a root-only folder before the install", "authorised",
         "mv Downloads/Quorbel.app Downloads/Quorbel.real && ln -s /Library/Secret Downloads/Quorbel.app", false},
        {"the Downloads folder swapped for a link to /Applications before the download is trashed", "installed",
         "mv Downloads Downloads.real && ln -s /Applications Downloads", true},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        TearDown();
        run(QStringLiteral("rm"), {QStringLiteral("-rf"), home(), state(), bin()});
        SetUp();
        ASSERT_TRUE(writeFile(QStringLiteral("/Library/Secret/Contents/Resources/key.pem"), "secret"));
        ::chmod("/Library/Secret/Contents/Resources/key.pem", 0600);
        ::chmod("/Library/Secret", 0700);
        makeCopy(QStringLiteral("/Applications/Quorbel-2.app"), QString::fromLatin1(kProduct));
        // A bundle root unpacked into the user's Downloads folder: a root launcher loads only root's windows module.
        ASSERT_EQ(run(QStringLiteral("chown"), {QStringLiteral("-R"), QStringLiteral("0:0"), source()}), 0);
        bool swapped = false;
        const auto swapWhenStopped = [&](qint64 pid) {
            const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
            if (swapped || stat.mid(stat.lastIndexOf(')') + 2, 1) != "T")
                return false;
            QProcess shell;
            shell.setWorkingDirectory(home());
            shell.start(QStringLiteral("setpriv"),
                        {QStringLiteral("--reuid=%1").arg(kUser), QStringLiteral("--regid=%1").arg(kUser),
                         QStringLiteral("--clear-groups"), QStringLiteral("sh"), QStringLiteral("-c"),
                         QString::fromLatin1(test.swap)});
            shell.waitForFinished();
            swapped = shell.exitCode() == 0;
            ::kill(pid_t(pid), SIGCONT);
            return false;
        };
        QProcess launcher;
        QProcessEnvironment environment;
        for (const auto& [name, value] : {std::pair{"HOME", home()}, std::pair{"PATH", QStringLiteral("/usr/bin:/bin")},
                                          std::pair{"XDG_CONFIG_HOME", home() + QStringLiteral("/.config")},
                                          std::pair{"XDG_DATA_HOME", home() + QStringLiteral("/.local/share")},
                                          std::pair{"QT_QPA_PLATFORM", QStringLiteral("offscreen")},
                                          std::pair{"QUORBEL_ALERT_ANSWER", kMoveAnswer + QStringLiteral("|OK")},
                                          std::pair{"QUORBEL_CHECK_WINDOW_ANSWER", QStringLiteral("Quit")},
                                          std::pair{"QUORBEL_STOP_AT", QString::fromLatin1(test.stopAt)}})
            environment.insert(QString::fromLatin1(name), value);
        launcher.setProcessEnvironment(environment);
        launcher.setWorkingDirectory(home());
        launcher.start(source() + QStringLiteral("/Contents/MacOS/Quorbel"), {});
        ASSERT_TRUE(launcher.waitForStarted());
        QElapsedTimer timer;
        timer.start();
        while (launcher.state() != QProcess::NotRunning && timer.elapsed() < kTimeoutMs) {
            swapWhenStopped(launcher.processId());
            launcher.waitForFinished(20);
        }
        stopStrays();
        EXPECT_TRUE(swapped);
        const QString installed = QStringLiteral("/Applications/Quorbel.app");
        EXPECT_EQ(QFileInfo::exists(installed), test.installed) << qPrintable(launcherLog());
        if (test.installed) {
            expectRootOwnedPlainTree(installed);
            for (const QString& line : listing(installed))
                EXPECT_FALSE(line.contains(QStringLiteral(" -> "))) << qPrintable(line);
        }
        for (const QString& line : listing(QStringLiteral("/Applications")))
            EXPECT_FALSE(line.contains(QStringLiteral("key.pem"))) << qPrintable(line);
        EXPECT_EQ(readFile(QStringLiteral("/Library/Secret/Contents/Resources/key.pem")), "secret");
        // Nothing in /Applications was taken to a Trash through the link.
        EXPECT_FALSE(QFileInfo::exists(trash() + QStringLiteral("/Quorbel.app/Contents/Resources/precious.txt")));
    }
}

// The check window's repair of the update tool, as an ordinary user: the
// launcher is installed root-owned in /Applications and the tool is missing.
class CheckWindowAsUser : public AuthorisedMoveRun {
protected:
    void SetUp() override
    {
        AuthorisedMoveRun::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ASSERT_EQ(run(QStringLiteral("cp"), {QStringLiteral("-a"), QString::fromUtf8(QB_BUNDLE_DIR), installed()}), 0);
        const QString resources = installed() + QStringLiteral("/Contents/Resources");
        const QVariantList items{
            QVariantMap{{"Type", "QBToolRoot"},
                        {"Name", "updateqb"},
                        {"InstallPath", kInstalledTool},
                        {"Resource", "updateqb"},
                        {"Signature", "updateqb.sig"}},
            QVariantMap{{"Type", "CoreApp"}, {"Name", "QuorbelCore"}, {"Resource", "QuorbelCore.app"}},
        };
        ASSERT_TRUE(writePlist(resources + "/RequiredItems.plist", QVariantMap{{"RequiredItems", items}}));
        // The carried tool installs itself and records who ran it.
        makeScript(resources + "/updateqb",
                   QStringLiteral("if [ $# -eq 0 ]; then echo '1.19.0 (5)'; exit 0; fi\n"
                                  "echo \"$(id -u) $*\" >> '%1'\n"
                                  "mkdir -p \"$(dirname '%2')\" && cp \"$0\" '%2' && chmod 4755 '%2'\n")
                       .arg(record(), kInstalledTool));
        writeFile(resources + "/updateqb.sig", "signature");
        ASSERT_EQ(run(QStringLiteral("chown"), {QStringLiteral("-R"), QStringLiteral("0:0"), installed()}), 0);
        writeFile(record(), "");
        run(QStringLiteral("chown"), {QStringLiteral("%1:%1").arg(kUser), record()});
    }
    QString installed() const { return QStringLiteral("/Applications/Quorbel.app"); }
    QString record() const { return m_dir.path() + QStringLiteral("/tool.argv"); }
    QString startInstalled(const QString& windowAnswers)
    {
        return runAsUser(
            installed() + QStringLiteral("/Contents/MacOS/Quorbel"),
            {QStringLiteral("QUORBEL_CHECK_WINDOW_ANSWER=") + windowAnswers, QStringLiteral("QUORBEL_ALERT_ANSWER=OK")});
    }
    static constexpr const char* kInstalledTool = "/Library/Application Support/Quorbel/updateqb";
};

TEST_F(CheckWindowAsUser, TheUpdateToolRepairAsksOnceAndWaitsForTheToolAsRoot)
{
    const QString errors = startInstalled(QStringLiteral("Continue,Quit"));
    EXPECT_EQ(prompts(), 1) << qPrintable(errors);
    EXPECT_EQ(readFile(record()).trimmed(), ("0 repair " + installed() + "/Contents/Resources/updateqb.sig").toUtf8());
    EXPECT_TRUE(launcherLog().contains(QStringLiteral("UpdateToolManager:runUninstalledUpdateToolAsAdmin: Succeeded")));
    EXPECT_TRUE(launcherLog().contains(QStringLiteral("Repair run succeeded"))) << qPrintable(launcherLog());
    struct stat tool {};
    ASSERT_EQ(::stat(kInstalledTool, &tool), 0);
    EXPECT_EQ(tool.st_uid, 0u);
}

TEST_F(CheckWindowAsUser, ADismissedPromptIsAFailedRepairAndContinueAsksAgain)
{
    writeFile(state() + QStringLiteral("/answers"), "1 dismiss\n");
    const QString errors = startInstalled(QStringLiteral("Continue,Continue,Quit"));
    EXPECT_TRUE(errors.contains(QStringLiteral("Unattended alert: \"The repair did not succeed\""))) << qPrintable(errors);
    EXPECT_TRUE(launcherLog().contains(QStringLiteral("AuthorizationCopyRights failed (OSStatus -60006)")))
        << qPrintable(launcherLog());
    // The second "Continue" is a new authorisation: a second prompt, answered.
    EXPECT_EQ(prompts(), 2);
    EXPECT_EQ(readFile(record()).trimmed(), ("0 repair " + installed() + "/Contents/Resources/updateqb.sig").toUtf8());
}

// The system's prompt may be an ordinary window, as some desktops' agents'
// are: here one that the stand-in pkexec opens as the user. Under a real
// window manager it is above the check window and its sheet while it waits.
TEST_F(CheckWindowAsUser, OnADesktopThePromptIsAboveTheWindowAndItsSheet)
{
    QB_START_X11_DESKTOP(desktop);
    // The prompt comes a moment after the sheet, as an agent's does (a prompt
    // mapped before the sheet would leave the sheet above it), and stays open
    // until the test has looked (at most 30 seconds).
    const QString looked = state() + QStringLiteral("/looked");
    duringPrompt(QStringLiteral("sleep 0.5; xmessage -title 'Stand-in agent' 'Password:' & agent=$!\n"
                                "for _ in $(seq 600); do [ -e '%1' ] && break; sleep 0.05; done\n"
                                "kill $agent")
                     .arg(looked));
    QProcessEnvironment display;
    desktop->enter(display);
    QString agent;
    QStringList launcherWindows;
    QStringList stacking; // bottom first
    const auto lookWhilePrompting = [&](qint64 pid) {
        if (QFileInfo::exists(looked))
            return false;
        const QString found = desktop->tool(QStringLiteral("xdotool"), {"search", "--name", "^Stand-in agent$"}).trimmed();
        agent = found.isEmpty() ? QString() : QStringLiteral("0x") + QString::number(found.toULongLong(), 16);
        launcherWindows = desktop->windowsOf(pid);
        stacking = desktop->tool(QStringLiteral("xprop"), {"-root", "_NET_CLIENT_LIST_STACKING"})
                       .section(u'#', 1)
                       .remove(u' ')
                       .trimmed()
                       .split(u',', Qt::SkipEmptyParts);
        if (!agent.isEmpty() && stacking.contains(agent) && launcherWindows.size() == 2)
            writeFile(looked, "");
        return false;
    };
    const QString errors = runAsUser(
        installed() + QStringLiteral("/Contents/MacOS/Quorbel"),
        {QStringLiteral("QUORBEL_CHECK_WINDOW_ANSWER=Continue,Quit"), QStringLiteral("QUORBEL_ALERT_ANSWER=OK"),
         QStringLiteral("DISPLAY=") + display.value(QStringLiteral("DISPLAY")), QStringLiteral("QT_QPA_PLATFORM=xcb")},
        lookWhilePrompting);

    ASSERT_TRUE(QFileInfo::exists(looked)) << "no prompt window beside the window and its sheet: " << qPrintable(errors);
    for (const QString& window : launcherWindows)
        EXPECT_LT(stacking.indexOf(window), stacking.indexOf(agent))
            << qPrintable(window) << " above the prompt " << qPrintable(agent) << " in " << qPrintable(stacking.join(u' '));
    EXPECT_EQ(prompts(), 1);
    EXPECT_TRUE(launcherLog().contains(QStringLiteral("Repair run succeeded"))) << qPrintable(launcherLog());
}

bool helperRunning()
{
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        if (QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(entry)).endsWith(QStringLiteral("/quorbel-authhelper")))
            return true;
    }
    return false;
}

// Names and contents below `root`, whoever owns them: is it the whole bundle?
QStringList contents(const QString& root)
{
    QStringList lines = listing(root);
    for (QString& line : lines) {
        const QStringList fields = line.split(u' ');
        line = fields.value(0) + u' ' + fields.mid(3).join(u' ');
    }
    return lines;
}

// Killed (SIGKILL) at every step of the authorised move, right after asking
// for a step or while the helper installs: the helper finishes the request in
// hand or undoes it and ends, nothing half made remains, and the user keeps a
// whole copy that starts.
TEST_F(AuthorisedMoveRun, KilledAtAnyStepLeavesAWholeCopyThatStarts)
{
    struct KillPoint {
        const char* name;
        const char* step; // QUORBEL_STOP_AT
        QString logged;   // or once the log holds this; neither: once the install's copy shows up
    };
    const QString installed = QStringLiteral("/Applications/Quorbel.app");
    const QList<KillPoint> points{
        {"after the authorisation", "authorised", {}},
        {"after asking to remove the installed copy", nullptr, QStringLiteral("Removing \"%1\"").arg(installed)},
        {"after asking to remove the earlier copy", nullptr, QStringLiteral("Removing \"/Applications/Quorbel-2.app\"")},
        {"after removing the installed and earlier copies", "removed-earlier-copies", {}},
        {"after asking for the install", nullptr, QStringLiteral("Copying \"%1\" to \"%2\"").arg(source(), installed)},
        {"in the middle of the install", nullptr, {}},
        {"after the install", "installed", {}},
        {"after trashing the download", "trashed-source", {}},
        {"after starting the relaunch", "relaunch-started", {}}};
    constexpr qint64 kLarge = 32 << 20;
    for (const KillPoint& point : points) {
        SCOPED_TRACE(point.name);
        TearDown();
        run(QStringLiteral("rm"), {QStringLiteral("-rf"), home(), state(), bin()});
        SetUp();
        writeFile(source() + QStringLiteral("/Contents/Resources/large.bin"), QByteArray(kLarge, 'q'));
        run(QStringLiteral("chown"), {QStringLiteral("-R"), QStringLiteral("%1:%1").arg(kUser), source()});
        const QStringList whole = contents(source());
        makeCopy(installed, QString::fromLatin1(kProduct));
        makeCopy(QStringLiteral("/Applications/Quorbel-2.app"), QString::fromLatin1(kProduct));
        QString landed;
        const auto killNow = [&](qint64 pid) {
            bool now = false;
            if (point.step) {
                const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
                now = stat.mid(stat.lastIndexOf(')') + 2, 1) == "T";
            } else if (!point.logged.isEmpty()) {
                now = launcherLog().contains(point.logged);
            } else {
                for (const QString& name :
                     QDir(QStringLiteral("/Applications"))
                         .entryList({QStringLiteral(".Quorbel.app.installing*")}, QDir::Dirs | QDir::Hidden)) {
                    const QFileInfo large(QStringLiteral("/Applications/%1/Contents/Resources/large.bin").arg(name));
                    if (large.exists()) {
                        landed = QStringLiteral(" (%1 of %2 bytes installed)").arg(large.size()).arg(kLarge);
                        now = true;
                    }
                }
            }
            if (now)
                ::kill(pid_t(pid), SIGKILL);
            return now;
        };
        const QStringList stopAt = point.step
                                       ? QStringList{QStringLiteral("QUORBEL_STOP_AT=") + QString::fromLatin1(point.step)}
                                       : QStringList{};
        runLauncher(source(), kMoveAnswer, stopAt, killNow);
        QElapsedTimer timer;
        timer.start();
        while (helperRunning() && timer.elapsed() < kTimeoutMs)
            QThread::msleep(20);
        EXPECT_FALSE(helperRunning()) << "the helper must end once its launcher is gone";
        QThread::msleep(2000); // a started relaunch runs
        stopStrays();
        QStringList survivors;
        QStringList remains;
        for (const QString& bundle : {source(), installed}) {
            const bool isWhole = contents(bundle) == whole
                                 && QFileInfo(bundle + QStringLiteral("/Contents/Resources/large.bin")).size() == kLarge;
            const bool old = QFileInfo::exists(bundle + QStringLiteral("/Contents/Resources/precious.txt"));
            if (isWhole)
                survivors.append(bundle);
            remains.append(
                QStringLiteral("%1: %2").arg(bundle == installed ? QStringLiteral("installed") : QStringLiteral("download"),
                                             isWhole                     ? QStringLiteral("whole")
                                             : old                       ? QStringLiteral("the old copy")
                                             : QFileInfo::exists(bundle) ? QStringLiteral("partial")
                                                                         : QStringLiteral("gone")));
            // Under its real name a copy is whole, the old one or not there.
            EXPECT_TRUE(isWhole || old || !QFileInfo::exists(bundle)) << qPrintable(remains.last());
        }
        remains.append(QStringLiteral("earlier copy: %1")
                           .arg(QFileInfo::exists(QStringLiteral("/Applications/Quorbel-2.app")) ? QStringLiteral("there")
                                                                                                 : QStringLiteral("gone")));
        const QStringList leftovers = QDir(QStringLiteral("/Applications"))
                                          .entryList({QStringLiteral(".*")},
                                                     QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        EXPECT_TRUE(leftovers.isEmpty()) << "left in Applications: " << qPrintable(leftovers.join(u','));
        std::printf("killed %s%s: %s\n", point.name, qPrintable(landed), qPrintable(remains.join(QStringLiteral("; "))));
        ASSERT_FALSE(survivors.isEmpty()) << qPrintable(remains.join(u'\n'));
        for (const QString& bundle : survivors) {
            QFile::remove(state() + QStringLiteral("/count"));
            const QString errors = runLauncher(bundle, QStringLiteral("Do Not Move"), {});
            stopStrays();
            // A download offers the move again; the installed copy runs from Applications.
            EXPECT_EQ(errors.contains(QStringLiteral("Move to Applications folder?")), bundle == source())
                << qPrintable(errors);
            EXPECT_TRUE(launcherLog().contains(QStringLiteral("Quorbel did finish launching"))) << qPrintable(bundle);
        }
    }
}

class RootToolRun : public PrivateRootTest {
protected:
    QString installTool(const QString& body, uid_t owner)
    {
        const QString tool = QStringLiteral("/Library/Application Support/Quorbel/updateqb");
        EXPECT_TRUE(QDir().mkpath(QFileInfo(tool).path()));
        makeScript(tool, body);
        ::chown(QFile::encodeName(tool).constData(), owner, 0);
        ::chmod(QFile::encodeName(tool).constData(), 04755);
        return tool;
    }
    LogCapture log;
};

// A launcher running as root: the requests run in-process through the same code.
TEST_F(RootToolRun, AHungPrivilegedToolIsEndedAtTheLimitAndTheRunFails)
{
    installTool(QStringLiteral("exec sleep 60"), 0);
    UpdateToolManager manager;
    manager.setRepairTimeLimit(1);
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(manager.repairPermissions(), 4);
    EXPECT_LT(timer.elapsed(), 20000);
    EXPECT_EQ(manager.status(), 4);
    EXPECT_FALSE(log.contains(QStringLiteral("UpdateToolManager:runUpdateToolAsAdmin: Succeeded")));
}

TEST_F(RootToolRun, AnInstalledToolSomeoneElseCanWriteIsNeverRunWithTheRights)
{
    const QString marker = m_dir.path() + QStringLiteral("/ran");
    installTool(QStringLiteral("touch '%1'").arg(marker), kUser);
    UpdateToolManager manager;
    EXPECT_EQ(manager.repairPermissions(), 4);
    EXPECT_EQ(manager.repairQBToolPermissions(QStringLiteral("x")), 4);
    EXPECT_FALSE(QFileInfo::exists(marker));

    installTool(QStringLiteral("touch '%1'").arg(marker), 0);
    EXPECT_EQ(manager.repairPermissions(), 0);
    EXPECT_TRUE(QFileInfo::exists(marker));
}

// The root helper itself, started as pkexec starts it, with an action and
// requests written to it as anything of the user could write them.
class HelperRun : public PrivateRootTest {
protected:
    void SetUp() override
    {
        PrivateRootTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ASSERT_TRUE(QFileInfo(QString::fromUtf8(QB_BUNDLE_DIR)).isDir()) << "build the bundle target first";
    }

    // A root-owned copy of the bundle at `folder`/Quorbel.app.
    QString copyBundle(const QString& folder)
    {
        EXPECT_TRUE(QDir().mkpath(folder));
        const QString bundle = folder + QStringLiteral("/Quorbel.app");
        EXPECT_EQ(run(QStringLiteral("cp"), {QStringLiteral("-a"), QString::fromUtf8(QB_BUNDLE_DIR), bundle}), 0);
        return bundle;
    }
    static QString helperOf(const QString& bundle) { return bundle + QStringLiteral("/Contents/MacOS/quorbel-authhelper"); }
    // "DEVICE INODE" of what is at `path` (not followed).
    static QStringList identity(const QString& path)
    {
        struct stat status {};
        ::lstat(QFile::encodeName(path).constData(), &status);
        return {QString::number(status.st_dev), QString::number(status.st_ino)};
    }
    // The move of `bundle` into /Applications as Quorbel.app, removing `removals` (path, device, inode each).
    static QStringList move(const QString& bundle, const QStringList& removals = {})
    {
        return QStringList{QStringLiteral("move"), QStringLiteral("/Applications"), QStringLiteral("Quorbel.app")}
               + identity(bundle) + removals;
    }
    static QStringList removal(const QString& path) { return QStringList{path} + identity(path); }
    static QByteArray request(const QStringList& fields) { return QFile::encodeName(fields.join(u'\t')) + '\n'; }

    // Starts `bundle`'s helper with `arguments` (through `prefix`, e.g. prlimit),
    // writes each line and reads its answer: "fail...", "ok...", "ended" when
    // the helper ended instead, or "exit N" when it never said "ready".
    QStringList converse(const QString& bundle, const QStringList& arguments, const QList<QByteArray>& lines,
                         const QStringList& environment = {}, const QStringList& prefix = {})
    {
        QProcess helper;
        QProcessEnvironment env;
        env.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
        for (const QString& setting : environment)
            env.insert(setting.section(u'=', 0, 0), setting.section(u'=', 1));
        helper.setProcessEnvironment(env);
        helper.setProcessChannelMode(QProcess::SeparateChannels);
        const QStringList command = prefix + QStringList{helperOf(bundle)} + arguments;
        helper.start(command.first(), command.mid(1));
        QStringList answers;
        if (!helper.waitForReadyRead(10000) || helper.readLine() != "ready\n") {
            helper.waitForFinished(10000);
            return {QStringLiteral("exit %1").arg(helper.exitCode())};
        }
        for (const QByteArray& line : lines) {
            helper.write(line);
            helper.waitForBytesWritten(10000);
            if (line == "stop\n")
                continue; // answered by nothing

            answers.append(nextAnswer(helper));
        }
        m_endedByItself = helper.state() == QProcess::NotRunning || helper.waitForFinished(5000);
        helper.closeWriteChannel();
        helper.waitForFinished(10000);
        m_helperErrors = QString::fromUtf8(helper.readAllStandardError());
        return answers;
    }

    // The helper's next answer; the progress lines before it go to m_progress.
    QString nextAnswer(QProcess& helper)
    {
        for (;;) {
            while (!helper.canReadLine() && helper.state() == QProcess::Running)
                helper.waitForReadyRead(100);
            if (!helper.canReadLine())
                return QStringLiteral("ended");
            const QByteArray line = helper.readLine().chopped(1);
            if (!line.startsWith("progress\t"))
                return QString::fromUtf8(line).trimmed();
            m_progress.append(line);
        }
    }

    bool m_endedByItself = false;
    QString m_helperErrors;
    QList<QByteArray> m_progress;
};

// Every refusal of the root side, one row each: the request is answered
// "fail", the helper serves nothing after it, and nothing in the root-owned
// folders changes or runs.
TEST_F(HelperRun, TheHelperRefusesWhatIsOutsideItsAction)
{
    const QString marker = m_dir.path() + QStringLiteral("/ran");
    const QString plain = copyBundle(m_dir.path() + QStringLiteral("/plain"));
    const QString linked = copyBundle(m_dir.path() + QStringLiteral("/linked"));
    const QString deep = copyBundle(m_dir.path() + QStringLiteral("/deep"));
    // The user's files the links lead to.
    makeScript(m_dir.path() + QStringLiteral("/evil"), QStringLiteral("touch '%1'").arg(marker));
    const QString core = QStringLiteral("/Contents/Resources/QuorbelCore.app/Contents/MacOS/QuorbelCore");
    ASSERT_TRUE(QFile::remove(linked + core));
    ASSERT_TRUE(QFile::link(m_dir.path() + QStringLiteral("/evil"), linked + core));
    ASSERT_TRUE(QFile::link(QStringLiteral("MacOS/Quorbel"), linked + QStringLiteral("/Contents/Launcher")));
    QString deeper = deep + QStringLiteral("/Contents/Resources");
    for (int level = 0; level < 70; ++level)
        deeper += QStringLiteral("/d");
    ASSERT_TRUE(QDir().mkpath(deeper));
    ASSERT_TRUE(QFile::link(plain, m_dir.path() + QStringLiteral("/link.app")));

    makeCopy(QStringLiteral("/Applications/Quorbel.app"), QString::fromLatin1(kProduct));
    makeCopy(QStringLiteral("/Applications/Quorbel-2.app"), QString::fromLatin1(kProduct));
    makeCopy(QStringLiteral("/Applications/Other.app"), QStringLiteral("com.example.other"));
    ASSERT_TRUE(writeFile(QStringLiteral("/Applications/Data.app/notes.txt"), "a plain folder"));
    makeCopy(QStringLiteral("/Applications/Mounted.app"), QString::fromLatin1(kProduct));
    ASSERT_TRUE(writeFile(QStringLiteral("/Library/Precious/precious.txt"), "keep"));
    ASSERT_TRUE(QDir().mkpath(QStringLiteral("/Applications/Mounted.app/Contents/Mount")));
    ASSERT_EQ(run(QStringLiteral("mount"), {QStringLiteral("--bind"), QStringLiteral("/Library/Precious"),
                                            QStringLiteral("/Applications/Mounted.app/Contents/Mount")}),
              0);
    struct Unmount {
        ~Unmount() { run(QStringLiteral("umount"), {QStringLiteral("/Applications/Mounted.app/Contents/Mount")}); }
    } unmount;
    const QStringList applicationsBefore = listing(QStringLiteral("/Applications"));
    const QStringList libraryBefore = listing(QStringLiteral("/Library"));

    const QStringList repair{QStringLiteral("repair")};
    const QString installed = QStringLiteral("/Applications/Quorbel.app");
    const QByteArray install = request(
        {QStringLiteral("install"), plain, QStringLiteral("/Applications"), QStringLiteral("Quorbel.app")});
    struct Row {
        const char* what;
        QString bundle;
        QStringList arguments;
        QList<QByteArray> lines;
        QStringList answers;
        QStringList environment = {};
    };
    const QStringList refused{QStringLiteral("fail"), QStringLiteral("ended")};
    const QList<Row> rows{
        {"run is no request",
         plain,
         repair,
         {"run\t/bin/sh\t-c\ttouch " + QFile::encodeName(marker) + "\n", "updatetool\t300\trepairpermissions\n"},
         refused},
        {"no action runs a program", plain, {QStringLiteral("run"), QStringLiteral("/bin/sh")}, {}, {QStringLiteral("exit 2")}},
        {"repair runs no other program", plain, repair, {"updatetool\t300\trepair\t/bin/sh\t/x.sig\n"}, {QStringLiteral("fail")}},
        {"repair runs nothing else of the bundle",
         plain,
         repair,
         {request({QStringLiteral("updatetool"), QStringLiteral("300"), QStringLiteral("repair"), plain + core,
                   QStringLiteral("/x.sig")})},
         {QStringLiteral("fail")}},
        {"a request of another action",
         plain,
         repair,
         {request(QStringList{QStringLiteral("remove")} + removal(installed))},
         {QStringLiteral("fail")}},
        {"a request of no action", plain, repair, {"rm\t-rf\t/Applications\n"}, {QStringLiteral("fail")}},
        {"another vendor's bundle",
         plain,
         move(plain, removal(QStringLiteral("/Applications/Other.app"))),
         {request(QStringList{QStringLiteral("remove")} + removal(QStringLiteral("/Applications/Other.app")))},
         {QStringLiteral("fail")}},
        {"a plain folder named .app",
         plain,
         move(plain, removal(QStringLiteral("/Applications/Data.app"))),
         {request(QStringList{QStringLiteral("remove")} + removal(QStringLiteral("/Applications/Data.app")))},
         {QStringLiteral("fail")}},
        {"a removal without its device and inode",
         plain,
         move(plain, {installed, QStringLiteral("0"), QStringLiteral("0")}),
         {},
         {QStringLiteral("exit 2")}},
        {"a bundle the move did not find",
         plain,
         move(plain),
         {request(QStringList{QStringLiteral("remove")} + removal(installed))},
         {QStringLiteral("fail")}},
        {"a bundle that is not the one found",
         plain,
         move(plain, QStringList{installed} + identity(QStringLiteral("/Applications/Quorbel-2.app"))),
         {request(QStringList{QStringLiteral("remove"), installed} + identity(QStringLiteral("/Applications/Quorbel-2.app")))},
         {QStringLiteral("fail")}},
        {"a removal out of the move's order",
         plain,
         move(plain, removal(QStringLiteral("/Applications/Quorbel-2.app"))
                         + QStringList{QStringLiteral("/Applications/Gone.app"), QStringLiteral("1"), QStringLiteral("1")}),
         {"remove\t/Applications/Gone.app\t1\t1\n",
          request(QStringList{QStringLiteral("remove")} + removal(QStringLiteral("/Applications/Quorbel-2.app")))},
         {QStringLiteral("ok"), QStringLiteral("fail")}},
        {"a mount inside a bundle",
         plain,
         move(plain, removal(QStringLiteral("/Applications/Mounted.app"))),
         {request(QStringList{QStringLiteral("remove")} + removal(QStringLiteral("/Applications/Mounted.app")))},
         {QStringLiteral("fail")}},
        {"a control character", plain, move(plain), {"remove\t/Applications/Keep\x01.app\t1\t1\n"}, {QStringLiteral("fail")}},
        {"an install elsewhere than /Applications",
         plain,
         QStringList{QStringLiteral("move"), QStringLiteral("/tmp"), QStringLiteral("Quorbel.app")} + identity(plain),
         {},
         {QStringLiteral("exit 2")}},
        {"an install under another name",
         plain,
         move(plain),
         {request({QStringLiteral("install"), plain, QStringLiteral("/Applications"), QStringLiteral("Other.app")})},
         {QStringLiteral("fail")}},
        {"an install of another folder",
         plain,
         move(plain),
         {request({QStringLiteral("install"), linked, QStringLiteral("/Applications"), QStringLiteral("Quorbel.app")})},
         {QStringLiteral("fail")}},
        {"an install through a link",
         plain,
         move(plain),
         {request({QStringLiteral("install"), m_dir.path() + QStringLiteral("/link.app"), QStringLiteral("/Applications"),
                   QStringLiteral("Quorbel.app")})},
         {QStringLiteral("fail")}},
        {"an install holding links",
         linked,
         move(linked),
         {request({QStringLiteral("install"), linked, QStringLiteral("/Applications"), QStringLiteral("Quorbel.app")})},
         {QStringLiteral("fail")}},
        {"an install deeper than the bound",
         deep,
         move(deep),
         {request({QStringLiteral("install"), deep, QStringLiteral("/Applications"), QStringLiteral("Quorbel.app")})},
         {QStringLiteral("fail")}},
        {"an install for a uid without an account",
         plain,
         move(plain),
         {install},
         {QStringLiteral("fail")},
         {QStringLiteral("PKEXEC_UID=54321")}},
        {"a request line past 64 KiB", plain, repair, {QByteArray(70000, 'x') + '\n'}, {QStringLiteral("fail")}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const QStringList answers = converse(row.bundle, row.arguments, row.lines, row.environment);
        ASSERT_EQ(answers.size(), row.answers.size()) << qPrintable(answers.join(u'\n'));
        for (qsizetype i = 0; i < answers.size(); ++i)
            EXPECT_TRUE(answers.at(i).startsWith(row.answers.at(i))) << qPrintable(answers.at(i).left(200));
        if (row.answers.last() != QStringLiteral("ok") && !row.answers.last().startsWith(QStringLiteral("exit"))) {
            EXPECT_TRUE(m_endedByItself) << "a refusal ends the session";
        }
        EXPECT_EQ(listing(QStringLiteral("/Applications")), applicationsBefore);
        EXPECT_EQ(listing(QStringLiteral("/Library")), libraryBefore);
        EXPECT_FALSE(QFileInfo::exists(marker));
    }
    // An unknown request is echoed cut short.
    const QStringList echoed = converse(plain, repair, {QByteArray(1000, 'w') + "\tx\n"});
    ASSERT_EQ(echoed.size(), 1);
    EXPECT_LT(echoed.first().size(), 100) << qPrintable(echoed.first());
}

// The caller's limits, stray "stop" lines and what an ended helper left
// behind do not keep the helper from finishing its action, and it ends as
// soon as the action is done.
TEST_F(HelperRun, TheHelperFinishesItsActionWhateverItsCallerLeftOrLimits)
{
    const QString bundle = copyBundle(m_dir.path() + QStringLiteral("/plain"));
    constexpr qint64 kLarge = 8 << 20;
    ASSERT_TRUE(writeFile(bundle + QStringLiteral("/Contents/Resources/large.bin"), QByteArray(kLarge, 'q')));
    // Left by helpers that were ended half way (no such process id exists).
    const QString stale = QStringLiteral("/Applications/.Quorbel.app.installing-99999999-0");
    ASSERT_TRUE(writeFile(stale + QStringLiteral("/Contents/Resources/half"), "half"));
    makeCopy(QStringLiteral("/Applications/.Quorbel-2.app.removing-99999999-1"), QString::fromLatin1(kProduct));
    const QString others = QStringLiteral("/Applications/.Other.app.installing-99999999-0");
    makeCopy(others, QStringLiteral("com.example.other"));

    const QStringList answers = converse(
        bundle, move(bundle, {QStringLiteral("/Applications/Gone.app"), QStringLiteral("1"), QStringLiteral("1")}),
        {"stop\n", "remove\t/Applications/Gone.app\t1\t1\n", "stop\n",
         request({QStringLiteral("install"), bundle, QStringLiteral("/Applications"), QStringLiteral("Quorbel.app")})},
        {},
        {QStringLiteral("prlimit"), QStringLiteral("--fsize=65536:unlimited"), QStringLiteral("--nofile=12:4096"),
         QStringLiteral("--")});

    // "stop" outside a tool run is no request: each request has its own answer.
    EXPECT_EQ(answers, (QStringList{QStringLiteral("ok\t0"), QStringLiteral("ok\t0")})) << qPrintable(answers.join(u'\n'));
    // The install's progress, each line read as the launcher reads it; the last one says all is copied.
    ASSERT_FALSE(m_progress.isEmpty());
    std::optional<privileged::CopyProgress> read;
    for (const QByteArray& line : m_progress) {
        read = privileged::parseProgressLine(line.toStdString());
        ASSERT_TRUE(read) << line.toStdString();
    }
    EXPECT_EQ(read->files, read->totalFiles);
    EXPECT_EQ(read->bytes, read->totalBytes);
    EXPECT_GT(read->bytes, uint64_t(kLarge));
    EXPECT_TRUE(m_endedByItself) << "the helper ends once its action is done";
    EXPECT_EQ(QFileInfo(QStringLiteral("/Applications/Quorbel.app/Contents/Resources/large.bin")).size(), kLarge);
    expectRootOwnedPlainTree(QStringLiteral("/Applications/Quorbel.app"));
    EXPECT_FALSE(QFileInfo::exists(stale));
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("/Applications/.Quorbel-2.app.removing-99999999-1")));
    EXPECT_TRUE(QFileInfo::exists(others)) << "another product's is not ours to clear";
}

} // namespace
