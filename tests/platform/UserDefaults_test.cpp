#include "UserDefaults.h"

#include "TestSupport.h"

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using platform::UserDefaults;
using testing_support::readFile;

// Runs one settings write in a child whose files may not grow past
// `limit` bytes, as on a full disk; answers whether the write reported success.
bool writeWithFileSizeLimit(const QString& path, rlim_t limit)
{
    const pid_t child = ::fork();
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit cap{limit, limit};
        ::setrlimit(RLIMIT_FSIZE, &cap);
        UserDefaults defaults(path);
        ::_exit(defaults.setObject(QStringLiteral("one more value"), QStringLiteral("Added")) ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(UserDefaults, FullDiskKeepsTheOldFileAndReportsFailure)
{
    testing_support::ScratchHome home;
    const QString path = home.path(QStringLiteral("config/settings.plist"));
    QVariantMap many;
    for (int i = 0; i < 301; ++i)
        many.insert(QStringLiteral("Key%1").arg(i), QStringLiteral("value number %1").arg(i));
    ASSERT_TRUE(UserDefaults(path).update([&](QVariantMap& domain) { domain = many; }));
    const QByteArray before = readFile(path);
    ASSERT_GT(before.size(), 8192);

    EXPECT_FALSE(writeWithFileSizeLimit(path, 4096)) << "a short write is a failure";
    EXPECT_EQ(readFile(path), before) << "the old file stays whole";
    EXPECT_EQ(QDir(QFileInfo(path).path()).entryList(QDir::Files),
              (QStringList{QStringLiteral("settings.plist"), QStringLiteral("settings.plist.lock")}))
        << "no partial file is left beside it";

    // Once there is room again, writing works and nothing was lost.
    EXPECT_TRUE(writeWithFileSizeLimit(path, RLIM_INFINITY));
    const QVariantMap after = UserDefaults(path).persistentDomain();
    EXPECT_EQ(after.size(), 302);
    EXPECT_EQ(after.value(QStringLiteral("Key300")).toString(), QStringLiteral("value number 300"));
}

TEST(UserDefaults, ALinkedSettingsFileIsReadAndItsTargetWritten)
{
    testing_support::ScratchHome home;
    const QString target = home.path(QStringLiteral("dotfiles/settings.plist"));
    const QString link = home.path(QStringLiteral("config/settings.plist"));
    QDir().mkpath(QFileInfo(target).path());
    QDir().mkpath(QFileInfo(link).path());
    ASSERT_TRUE(testing_support::writePlist(target, QVariantMap{{"Kept", 7}}));
    ASSERT_TRUE(QFile::link(target, link));

    UserDefaults defaults(link);
    EXPECT_EQ(defaults.integerForKey(QStringLiteral("Kept")), 7);
    ASSERT_TRUE(defaults.setObject(8, QStringLiteral("Added"))) << defaults.lastError().toStdString();
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_EQ(UserDefaults(target).integerForKey(QStringLiteral("Added")), 8);
}

} // namespace
