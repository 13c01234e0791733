// Runs the background lines of a finished move through the real /bin/sh with
// paths that would break or abuse a badly quoted command line.

#include "MoveToApplicationsFolder.h"

#include "AppKitVersion.h"
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

using namespace testing_support;

namespace {

const QStringList kHostileNames{
    QStringLiteral("it's"),
    QStringLiteral("two  blanks"),
    QStringLiteral("$(touch INJECTED)"),
    QStringLiteral("`touch INJECTED`"),
    QStringLiteral("new\nline; touch INJECTED"),
    QStringLiteral("%1 \"q\" \\ ;|& '$HOME'"),
};

// Waits until the file has contents.
bool waitForFile(const QString& path, int milliseconds = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (QFileInfo(path).size() == 0) {
        if (timer.elapsed() > milliseconds)
            return false;
        QThread::msleep(20);
    }
    return true;
}

class RelaunchLineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QDir().mkpath(home.path(QStringLiteral("cwd")));
        // Stand-ins for the desktop tools, recording their arguments NUL-separated.
        makeScript(home.path(QStringLiteral("bin/setfattr")),
                   QStringLiteral("printf '%s\\0' \"$@\" >> '%1'").arg(home.path(QStringLiteral("setfattr.args"))));
        makeScript(home.path(QStringLiteral("bin/umount")),
                   QStringLiteral("printf '%s' \"$1\" > '%1'").arg(home.path(QStringLiteral("umount.args"))));
        makeScript(home.path(QStringLiteral("bin/sleep")), QStringLiteral("exit 0"));
    }

    // A bundle whose folder and executable carry `name`; the executable
    // writes the path it was started as into started.txt.
    QString makeBundleNamed(const QString& name)
    {
        const QString bundle = home.path(QStringLiteral("Applications/%1.app").arg(name));
        makeBundle(bundle, {{QStringLiteral("CFBundleExecutable"), name}});
        makeScript(bundle + QStringLiteral("/Contents/MacOS/") + name,
                   QStringLiteral("printf '%s' \"$0\" > '%1'").arg(started()));
        return bundle;
    }

    QString started() const { return home.path(QStringLiteral("started.txt")); }

    bool runShell(const QString& line, const QString& path)
    {
        QProcess shell;
        shell.setProgram(QStringLiteral("/bin/sh"));
        shell.setArguments({QStringLiteral("-c"), line});
        shell.setWorkingDirectory(home.path(QStringLiteral("cwd")));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("PATH"), path);
        shell.setProcessEnvironment(environment);
        return shell.startDetached();
    }

    QString fakePath() const { return home.path(QStringLiteral("bin")) + QStringLiteral(":/usr/bin:/bin"); }

    bool injected() const
    {
        return QFileInfo::exists(home.path(QStringLiteral("cwd/INJECTED")))
               || QFileInfo::exists(home.path(QStringLiteral("INJECTED")));
    }

    ScratchHome home;
};

TEST_F(RelaunchLineTest, WaitsForTheProcessToEndThenStartsTheInstalledCopy)
{
    const QString bundle = makeBundleNamed(QStringLiteral("Quorbel"));
    QProcess running;
    running.start(QStringLiteral("/bin/sleep"), {QStringLiteral("30")});
    ASSERT_TRUE(running.waitForStarted());
    ASSERT_TRUE(runShell(PFRelaunchLine(running.processId(), bundle), fakePath()));

    EXPECT_FALSE(waitForFile(started(), 500)) << "started while the old process still ran";
    running.kill();
    running.waitForFinished();
    ASSERT_TRUE(waitForFile(started()));
    EXPECT_EQ(readFile(started()), (bundle + QStringLiteral("/Contents/MacOS/Quorbel")).toUtf8());
}

TEST_F(RelaunchLineTest, HostilePathsStayOneWord)
{
    const qint64 ended = 0x7ffffff0; // beyond any pid the kernel hands out
    for (const QString& name : kHostileNames) {
        QFile::remove(started());
        QFile::remove(home.path(QStringLiteral("setfattr.args")));
        const QString bundle = makeBundleNamed(name);
        ASSERT_TRUE(runShell(PFRelaunchLine(ended, bundle), fakePath()));

        ASSERT_TRUE(waitForFile(started())) << qPrintable(name);
        EXPECT_EQ(QString::fromUtf8(readFile(started())), bundle + QStringLiteral("/Contents/MacOS/") + name);
        const QList<QByteArray> attributeArguments = readFile(home.path(QStringLiteral("setfattr.args"))).split('\0');
        EXPECT_TRUE(attributeArguments.contains((bundle + QStringLiteral("/Contents/Info.plist")).toUtf8()))
            << qPrintable(name);
        EXPECT_EQ(attributeArguments.value(2), QByteArray("user.xdg.origin.url"));
        EXPECT_FALSE(injected()) << qPrintable(name);
    }
}

// Each file of the bundle loses its quarantine where the system can do that
// at once; 10.5 can only clear the bundle itself, 10.4 has no quarantine.
TEST_F(RelaunchLineTest, TheQuarantineComesOffAsFarAsTheSystemAllows)
{
    struct Case {
        double appKitVersion;
        bool bundleCleared;
        bool filesInsideCleared;
    };
    for (const Case& test : {Case{0, true, true}, Case{949.3, true, false}, Case{824, false, false}}) {
        QFile::remove(started());
        QFile::remove(home.path(QStringLiteral("setfattr.args")));
        const QString bundle = makeBundleNamed(QStringLiteral("Quorbel"));
        platform::appkit::setVersionNumber(test.appKitVersion);
        const QString line = PFRelaunchLine(0x7ffffff0, bundle);
        platform::appkit::setVersionNumber(0);
        ASSERT_TRUE(runShell(line, fakePath()));
        ASSERT_TRUE(waitForFile(started())) << test.appKitVersion;
        const QList<QByteArray> cleared = readFile(home.path(QStringLiteral("setfattr.args"))).split('\0');
        EXPECT_EQ(cleared.contains(bundle.toUtf8()), test.bundleCleared) << test.appKitVersion;
        EXPECT_EQ(cleared.contains((bundle + QStringLiteral("/Contents/Info.plist")).toUtf8()), test.filesInsideCleared)
            << test.appKitVersion;
    }
}

TEST_F(RelaunchLineTest, StartsEvenWithoutTheAttributeTool)
{
    const QString bundle = makeBundleNamed(QStringLiteral("it's here"));
    // Only the shell's basic tools: no setfattr on this PATH.
    QDir().mkpath(home.path(QStringLiteral("basic")));
    for (const char* tool : {"ps", "wc", "find"})
        QFile::link(QStringLiteral("/usr/bin/") + QString::fromLatin1(tool),
                    home.path(QStringLiteral("basic/")) + QString::fromLatin1(tool));
    QFile::copy(home.path(QStringLiteral("bin/sleep")), home.path(QStringLiteral("basic/sleep")));
    ASSERT_TRUE(runShell(PFRelaunchLine(0x7ffffff0, bundle), home.path(QStringLiteral("basic"))));
    EXPECT_TRUE(waitForFile(started()));
}

TEST_F(RelaunchLineTest, DetachUnmountsTheVolumeNamedExactly)
{
    for (const QString& name : kHostileNames) {
        QFile::remove(home.path(QStringLiteral("umount.args")));
        const QString volume = home.path(QStringLiteral("Volumes/")) + name;
        ASSERT_TRUE(runShell(PFDetachLine(volume), fakePath()));
        ASSERT_TRUE(waitForFile(home.path(QStringLiteral("umount.args")))) << qPrintable(name);
        EXPECT_EQ(QString::fromUtf8(readFile(home.path(QStringLiteral("umount.args")))), volume);
        EXPECT_FALSE(injected()) << qPrintable(name);
    }
}

} // namespace
