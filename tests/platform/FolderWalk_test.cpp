// Root's home folder, and the folder walk that refuses links and other
// users' folders. Run as root, with "nobody" as the other user.

#include "FolderWalk.h"
#include "SystemLocations.h"

#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testing_support;

namespace {

constexpr uid_t kOther = 65534; // nobody

QByteArray native(const QString& path)
{
    return QFile::encodeName(path);
}

class AsRoot : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root";
        ASSERT_TRUE(m_dir.isValid());
        ASSERT_EQ(::chmod(native(m_dir.path()).constData(), 0755), 0);
    }
    QString path(const QString& relative) const { return m_dir.path() + u'/' + relative; }
    void folder(const QString& relative, uid_t owner, mode_t mode) const
    {
        ASSERT_TRUE(QDir().mkpath(path(relative)));
        ASSERT_EQ(::chown(native(path(relative)).constData(), owner, owner), 0);
        ASSERT_EQ(::chmod(native(path(relative)).constData(), mode), 0);
    }

    QTemporaryDir m_dir;
};

TEST_F(AsRoot, HomeComesFromTheEnvironmentOnlyWhenRootAloneControlsIt)
{
    const passwd* entry = ::getpwuid(0);
    ASSERT_NE(entry, nullptr);
    const QString database = QDir::cleanPath(QFile::decodeName(entry->pw_dir));
    folder("root-home", 0, 0700);
    folder("user", kOther, 0755);
    folder("user/home", 0, 0755); // root's, below a user's folder
    folder("open", 0, 0777);
    folder("open/home", 0, 0755);
    folder("group", 0, 0775);
    ASSERT_EQ(::chown(native(path("group")).constData(), 0, 100), 0);
    ASSERT_TRUE(QFile::link(path("root-home"), path("link")));
    const struct {
        const char* what;
        QString home;
        QString expected;
    } cases[] = {
        {"root's own scratch home", path("root-home"), path("root-home")},
        {"a user's folder", path("user"), database},
        {"root's folder below a user's", path("user/home"), database},
        {"below a folder anyone can change", path("open/home"), database},
        {"writable by a group other than root's", path("group"), database},
        {"a link to root's folder", path("link"), database},
        {"relative", "home", database},
    };
    ScopedEnvironment environment;
    for (const auto& c : cases) {
        environment.set("HOME", c.home);
        EXPECT_EQ(platform::locations::homeFolder(), c.expected) << c.what;
    }
}

TEST_F(AsRoot, TheWalkRefusesLinksAndOtherUsersFoldersAndCreatesOnlyInItsOwn)
{
    folder("mine/logs", 0, 0755);
    folder("theirs/logs", kOther, 0755);
    folder("shared", 0, 01777);
    folder("shared/mine", 0, 0700);
    ASSERT_TRUE(QFile::link(path("theirs"), path("mine/linked")));
    const struct {
        const char* what;
        QString folder;
        bool create;
        long alsoOwnedBy;
        bool opens;
    } cases[] = {
        {"own folder", path("mine/logs"), false, -1, true},
        {"own folder below a sticky one", path("shared/mine"), false, -1, true},
        {"missing, made", path("mine/new/deeper"), true, -1, true},
        {"another user's", path("theirs/logs"), false, -1, false},
        {"another user's, not made into", path("theirs/logs/new"), true, -1, false},
        {"through a link", path("mine/linked/logs"), false, -1, false},
        {"a final link", path("mine/linked"), false, -1, false},
        {"another user's, named for reading", path("theirs/logs"), false, long(kOther), true},
        {"a link, even so", path("mine/linked/logs"), false, long(kOther), false},
    };
    for (const auto& c : cases) {
        QString why;
        const int fd = platform::folders::openFolder(c.folder, c.create, &why, c.alsoOwnedBy);
        EXPECT_EQ(fd >= 0, c.opens) << c.what << ": " << why.toStdString();
        EXPECT_EQ(why.isEmpty(), c.opens) << c.what;
        if (fd >= 0)
            ::close(fd);
    }
    EXPECT_FALSE(QFileInfo::exists(path("theirs/logs/new")));
}

} // namespace
