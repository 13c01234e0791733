// Whole runs of an ordinary user's launcher whose home folder is full: a
// small tmpfs of theirs, filled to its last block, in a private mount
// namespace (scripts/in-private-root.sh). Whatever cannot be written is
// said with the system's reason; nothing claims to have been kept.

#include "LauncherRun.h"
#include "PrivateRoot.h"
#include "TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace testing_support;

namespace {

constexpr const char* kUser = "65534"; // nobody
constexpr const char* kDiskFull = "No space left on device";

class FullDisk : public ::testing::Test {
protected:
    void SetUp() override
    {
        QB_REQUIRE_PRIVATE_ROOT();
        ASSERT_EQ(::chmod(QFile::encodeName(m_dir.path()).constData(), 0755), 0);
        ASSERT_EQ(QProcess::execute("cp", {"-a", QString::fromUtf8(QB_BUNDLE_DIR), bundle()}), 0);
        ASSERT_TRUE(writeCoreOnlyManifest(bundle() + "/Contents/Resources"));
        ASSERT_TRUE(QDir().mkpath(home()));
        ASSERT_EQ(QProcess::execute("mount", {"-t", "tmpfs", "-o", QString("size=256k,mode=0700,uid=%1,gid=%1").arg(kUser),
                                              "tmpfs", home()}),
                  0);
        // Every block taken; folders and empty files can still be made.
        QProcess::execute("dd", {"if=/dev/zero", "of=" + home() + "/filler", "bs=4k", "status=none"});
    }
    void TearDown() override
    {
        if (inPrivateRoot())
            QProcess::execute("umount", {home()});
    }

    QString home() const { return m_dir.path() + "/home"; }
    QString bundle() const { return m_dir.path() + "/Quorbel.app"; }

    // The launcher as the user; answers its exit status, keeps its standard error.
    int runAsUser(const QStringList& arguments)
    {
        return runToEnd("setpriv",
                        QStringList{"--reuid", kUser, "--regid", kUser, "--clear-groups", "env", "-i", "HOME=" + home(),
                                    "PATH=/usr/bin:/bin", "QT_QPA_PLATFORM=offscreen",
                                    "QUORBEL_ALERT_ANSWER=Do not show this message again|Do Not Move|Do Not Copy|OK",
                                    bundle() + "/Contents/MacOS/Quorbel"}
                            + arguments,
                        &m_errors);
    }

    QTemporaryDir m_dir;
    QString m_errors;
};

TEST_F(FullDisk, TheLogTheDeclinedOffersChoiceAndTheSupportArchiveSayWhyTheyWereNotWritten)
{
    runAsUser({});
    const std::string errors = m_errors.toStdString();
    EXPECT_EQ(m_errors.count("The log file cannot be written"), 1) << errors;
    // The user ticked "do not show again": the alert that follows says it was not kept, and why.
    EXPECT_TRUE(m_errors.contains("to Applications folder?\" ")) << errors;
    EXPECT_TRUE(m_errors.contains(QRegularExpression("Unattended alert: \"Your choice could not be saved\" \"[^\"]*"
                                                     + QRegularExpression::escape(kDiskFull))))
        << errors;
    EXPECT_FALSE(readFile(home() + "/.config/com.quorbel.Quorbel.plist").contains("Suppress"));

    EXPECT_EQ(runAsUser({"--support-archive", home() + "/support.zip"}), 2);
    EXPECT_TRUE(m_errors.contains("Cannot write the support archive")) << m_errors.toStdString();
    EXPECT_TRUE(m_errors.contains(kDiskFull)) << m_errors.toStdString();
    EXPECT_FALSE(QFileInfo::exists(home() + "/support.zip"));
}

} // namespace
