// Whole runs of the launcher's command line as root where a user prepared
// the home folder: links planted under the log file's coming names, a
// library path in the settings, another user's log folder linked in. Runs in
// a private mount namespace (scripts/in-private-root.sh) with fresh tmpfs
// folders over /root (root's home in the password database) and the
// root-owned /Applications and /Library, where the stand-in targets live.

#include "PrivateRoot.h"
#include "TestSupport.h"
#include "TreeListing.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace testing_support;

namespace {

constexpr uid_t kUser = 65534; // nobody

int run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    return process.exitCode();
}

QStringList listing(const QString& root)
{
    return treeListing(root);
}

class RootInUserHome : public ::testing::Test {
protected:
    void SetUp() override
    {
        QB_REQUIRE_PRIVATE_ROOT();
        ASSERT_TRUE(QFileInfo(QString::fromUtf8(QB_BUNDLE_DIR)).isDir()) << "build the bundle target first";
        // Root's home from the password database, private to this namespace.
        ASSERT_EQ(run(QStringLiteral("mount"), {"-t", "tmpfs", "-o", "mode=0700", "tmpfs", "/root"}), 0);
        ASSERT_EQ(run(QStringLiteral("cp"), {"-a", QString::fromUtf8(QB_BUNDLE_DIR), bundle()}), 0);
        ASSERT_EQ(::chmod(QFile::encodeName(m_dir.path()).constData(), 0755), 0);
        ASSERT_TRUE(QDir().mkpath(userHome()));
        // Stand-ins for /etc/ld.so.preload and another root-only file.
        ASSERT_TRUE(writeFile(preload(), "", 0644));
        ASSERT_TRUE(writeFile(QStringLiteral("/Library/shadow"), "root:secret\n", 0600));
    }
    void TearDown() override
    {
        if (inPrivateRoot()) {
            run(QStringLiteral("umount"), {"/root"});
            run(QStringLiteral("rm"), {"-rf", bundle(), preload(), QStringLiteral("/Library/shadow")});
        }
    }

    QString bundle() const { return QStringLiteral("/Applications/Quorbel.app"); }
    QString preload() const { return QStringLiteral("/Library/ld.so.preload"); }
    QString userHome() const { return m_dir.path() + QStringLiteral("/user"); }
    // The stand-ins, with owner and mode (the repair may make its own folders beside them).
    QStringList targets() const
    {
        const QStringList all = listing(QStringLiteral("/Library"));
        return all.filter(QRegularExpression(QStringLiteral("^/(ld\\.so\\.preload|shadow) ")));
    }

    // The launcher as root, its environment kept as `sudo -E` keeps it.
    int runAsRoot(const QString& home, const QStringList& arguments)
    {
        return runToEnd(QStringLiteral("env"),
                        QStringList{"-i", "HOME=" + home, "XDG_CONFIG_HOME=" + home + "/.config", "PATH=/usr/bin:/bin",
                                    "QT_QPA_PLATFORM=offscreen", bundle() + "/Contents/MacOS/Quorbel"}
                            + arguments,
                        &m_errors);
    }

    QTemporaryDir m_dir;
    QString m_errors;
};

TEST_F(RootInUserHome, PlantedLinksAndSettingsChangeNoTargetAndRootLogsToTheTerminal)
{
    // The user's preparation: every log file name of the next two minutes
    // (each copy number of the second as well) links to a root-only file,
    // and the settings carry a line for that file.
    const QString logs = userHome() + "/Library/Logs/Quorbel/Quorbel";
    ASSERT_TRUE(QDir().mkpath(logs));
    const QDateTime now = QDateTime::currentDateTime();
    for (int second = -1; second < 120; ++second) {
        const QString stamp = now.addSecs(second).toString("yyyy-MM-dd-HHmmss");
        for (int copy = 0; copy < 3; ++copy) {
            const QString name = copy ? QString("Quorbel-%1-%2.log").arg(stamp).arg(copy)
                                      : QString("Quorbel-%1.log").arg(stamp);
            ASSERT_TRUE(QFile::link(second % 2 ? preload() : QStringLiteral("/Library/shadow"), logs + u'/' + name));
        }
    }
    ASSERT_TRUE(writePlist(userHome() + "/.config/com.quorbel.Quorbel.plist",
                           QVariantMap{{"LogFilesToKeep", "1\n" + userHome() + "/evil.so\n"}}));
    ASSERT_EQ(run(QStringLiteral("chown"), {"-R", QString("%1:%1").arg(kUser), userHome()}), 0);
    const QStringList userTree = listing(userHome());
    const QStringList before = targets();
    ASSERT_EQ(before.size(), 2);

    const struct {
        const char* what;
        QStringList arguments;
        bool terminalOnly;
    } cases[] = {
        {"HOME kept from the user", {"--check"}, false},
        {"the repair, HOME kept", {"--repair"}, false},
        {"the user's home named", {"--check", "--home", userHome()}, true},
        {"a support archive in the user's home", {"--support-archive", "/root/a.zip", "--home", userHome()}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_GE(runAsRoot(userHome(), c.arguments), 0);
        EXPECT_EQ(targets(), before);
        EXPECT_EQ(listing(userHome()), userTree) << m_errors.toStdString();
        EXPECT_FALSE(m_errors.contains("\n" + userHome() + "/evil.so")) << m_errors.toStdString();
        if (c.terminalOnly) {
            EXPECT_TRUE(m_errors.contains("Logging to the terminal only")) << m_errors.toStdString();
            EXPECT_TRUE(m_errors.contains("belongs to another user")) << m_errors.toStdString();
        } else {
            // Root's own home and settings instead.
            EXPECT_FALSE(QDir("/root/Library/Logs/Quorbel/Quorbel").isEmpty()) << m_errors.toStdString();
        }
    }
}

TEST_F(RootInUserHome, AnotherUsersLinkedLogFolderIsNeitherPrunedNorRead)
{
    // Root's own scratch home, whose log folder someone replaced by a link
    // to another user's private logs.
    const QString rootHome = m_dir.path() + "/root-home";
    const QString theirs = userHome() + "/Library/Logs/Quorbel";
    ASSERT_TRUE(writeFile(theirs + "/Quorbel/Quorbel-2000-01-01-000000.log", "TheirPrivateLine\n", 0600));
    ASSERT_TRUE(writeFile(theirs + "/Quorbel/Quorbel-2000-01-02-000000.log", "TheirOtherLine\n", 0600));
    ASSERT_TRUE(writeFile(theirs + "/QuorbelCore/QuorbelCore.log", "TheirCoreLine\n", 0600));
    ASSERT_EQ(run(QStringLiteral("chown"), {"-R", QString("%1:%1").arg(kUser), userHome()}), 0);
    ASSERT_EQ(run(QStringLiteral("chmod"), {"0700", userHome()}), 0);
    ASSERT_TRUE(QDir().mkpath(rootHome + "/Library/Logs"));
    ASSERT_EQ(::chmod(QFile::encodeName(rootHome).constData(), 0700), 0);
    ASSERT_TRUE(QFile::link(theirs, rootHome + "/Library/Logs/Quorbel"));
    ASSERT_TRUE(writePlist(rootHome + "/.config/com.quorbel.Quorbel.plist", QVariantMap{{"LogFilesToKeep", 1}}));
    const QStringList userTree = listing(userHome());

    EXPECT_GE(runAsRoot(rootHome, {"--check"}), 0);
    EXPECT_TRUE(m_errors.contains("Logging to the terminal only")) << m_errors.toStdString();
    EXPECT_TRUE(m_errors.contains("is a symbolic link")) << m_errors.toStdString();
    EXPECT_EQ(runAsRoot(rootHome, {"--support-archive", rootHome + "/a.zip"}), 0) << m_errors.toStdString();
    EXPECT_EQ(listing(userHome()), userTree);
    // The archive is written, without their logs (deflated text is not
    // searchable: their lines would be stored as they are, being short).
    const QByteArray archive = readFile(rootHome + "/a.zip");
    EXPECT_FALSE(archive.isEmpty());
    EXPECT_FALSE(archive.contains("Quorbel-2000-01-0"));
    EXPECT_FALSE(archive.contains("QuorbelCore.log"));
}

} // namespace
