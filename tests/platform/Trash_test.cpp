#include "Workspace.h"

#include "FileManager.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <sys/stat.h>
#include <unistd.h>

using namespace testing_support;

namespace {

QString infoOf(const QString& trash, const QString& name)
{
    return QString::fromUtf8(readFile(trash + QStringLiteral("/info/") + name + QStringLiteral(".trashinfo")));
}

TEST(Trash, AnItemOnTheHomeFileSystemGoesToTheHomeTrashWithItsOrigin)
{
    ScratchHome home;
    const QString first = makeBundle(home.path(QStringLiteral("my folder/X.app")), {{"CFBundleIdentifier", "a"}});
    const QString second = makeBundle(home.path(QStringLiteral("other/X.app")), {{"CFBundleIdentifier", "b"}});
    for (const QString& item : {first, second}) {
        QString error;
        EXPECT_TRUE(platform::workspace::recycle(item, &error)) << qPrintable(error);
        EXPECT_FALSE(platform::files::attributesOfItem(item).has_value());
    }
    // Each item is in the Trash under some free name, with its origin recorded.
    const QString trash = home.home() + QStringLiteral("/.local/share/Trash");
    const QStringList names = QDir(trash + QStringLiteral("/files")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    ASSERT_EQ(names.size(), 2);
    for (const QString& name : names) {
        const bool isFirst = readFile(trash + QStringLiteral("/files/") + name + QStringLiteral("/Contents/Info.plist"))
                                 .contains("<string>a</string>");
        const QString origin = QString::fromLatin1(QFile::encodeName(isFirst ? first : second).toPercentEncoding("/"));
        EXPECT_TRUE(infoOf(trash, name).contains(QStringLiteral("\nPath=%1\n").arg(origin)))
            << qPrintable(infoOf(trash, name));
    }
}

// Root, with a user's environment, trashes nothing into folders that user
// could redirect to anywhere root can write.
TEST(Trash, RootMakesNoTrashWhereAnotherUserCouldRedirectIt)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root is refused";
    ScratchHome home;
    const QString item = makeBundle(home.path(QStringLiteral("X.app")), {{"CFBundleIdentifier", "a"}});
    ASSERT_EQ(::chown(QFile::encodeName(home.home()).constData(), 65534, 65534), 0);
    QString error;
    EXPECT_FALSE(platform::workspace::recycle(item, &error));
    EXPECT_TRUE(error.contains(QStringLiteral("as root"))) << qPrintable(error);
    EXPECT_TRUE(QFileInfo::exists(item + QStringLiteral("/Contents/Info.plist")));
    EXPECT_FALSE(QFileInfo::exists(home.home() + QStringLiteral("/.local")));
}

// The other file systems are tmpfs mounts in a private mount namespace: the
// outer test mounts them and runs the cases below there.
TEST(Trash, OnOtherFileSystems)
{
    if (::geteuid() != 0) {
        if (qEnvironmentVariableIsSet("CI"))
            FAIL() << "CI runs as root";
        GTEST_SKIP() << "mounting a file system needs root";
    }
    QTemporaryDir dir;
    QString script = QStringLiteral("set -e; ");
    for (const char* disk : {"sticky", "linked", "plain", "unusable"}) {
        QDir().mkpath(dir.filePath(QString::fromLatin1(disk)));
        script += QStringLiteral("mount -t tmpfs tmpfs '%1'; ").arg(dir.filePath(QString::fromLatin1(disk)));
    }
    script += QStringLiteral("exec \"$0\" --gtest_also_run_disabled_tests --gtest_filter='TrashOnOtherFileSystems.*'");
    QProcess inner;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QB_TRASH_DISKS"), dir.path());
    inner.setProcessEnvironment(environment);
    inner.setProcessChannelMode(QProcess::MergedChannels);
    inner.start(QStringLiteral("unshare"),
                {QStringLiteral("-m"), QStringLiteral("--propagation"), QStringLiteral("private"), QStringLiteral("sh"),
                 QStringLiteral("-c"), script, QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))});
    ASSERT_TRUE(inner.waitForFinished(120000));
    const QString output = QString::fromUtf8(inner.readAll());
    EXPECT_EQ(inner.exitCode(), 0) << qPrintable(output);
    EXPECT_TRUE(output.contains(QStringLiteral("[  PASSED  ] 1 test"))) << qPrintable(output);
}

TEST(TrashOnOtherFileSystems, DISABLED_TopDirectoryTrashWhenSoundElseTheUsersOwnElseACopyHome)
{
    const QString disks = qEnvironmentVariable("QB_TRASH_DISKS");
    if (disks.isEmpty())
        GTEST_SKIP() << "run by Trash.OnOtherFileSystems";
    ScratchHome home;
    const QString uid = QString::number(::geteuid());
    const QString homeTrash = home.home() + QStringLiteral("/.local/share/Trash");
    struct Case {
        const char* disk;
        std::function<void(const QString& top)> prepare;
        QString trash; // relative to the top directory, or the home Trash
        bool relativePath;
    };
    const QList<Case> cases{
        {"sticky",
         [](const QString& top) {
             QDir().mkdir(top + "/.Trash");
             ::chmod(QFile::encodeName(top + "/.Trash").constData(), 01777);
         },
         QStringLiteral(".Trash/") + uid, true},
        {"linked",
         [](const QString& top) {
             QDir().mkdir(top + "/shared");
             ::chmod(QFile::encodeName(top + "/shared").constData(), 01777);
             QFile::link(top + "/shared", top + "/.Trash");
         },
         QStringLiteral(".Trash-") + uid, true},
        {"plain",
         [](const QString& top) {
             QDir().mkdir(top + "/.Trash");
             ::chmod(QFile::encodeName(top + "/.Trash").constData(), 0777);
         },
         QStringLiteral(".Trash-") + uid, true},
        {"unusable", [&uid](const QString& top) { writeFile(top + "/.Trash-" + uid, "not a folder"); }, homeTrash, false},
    };
    for (const Case& test : cases) {
        const QString top = disks + u'/' + QString::fromLatin1(test.disk);
        test.prepare(top);
        const QString item = makeBundle(top + QStringLiteral("/Downloads/X.app"), {{"CFBundleIdentifier", test.disk}});
        QString error;
        EXPECT_TRUE(platform::workspace::recycle(item, &error)) << test.disk << ": " << qPrintable(error);
        EXPECT_FALSE(platform::files::attributesOfItem(item).has_value()) << test.disk;
        const QString trash = test.trash.startsWith(u'/') ? test.trash : top + u'/' + test.trash;
        EXPECT_TRUE(readFile(trash + QStringLiteral("/files/X.app/Contents/Info.plist")).contains(test.disk)) << test.disk;
        const QString origin = test.relativePath ? QStringLiteral("Downloads/X.app") : item;
        EXPECT_TRUE(infoOf(trash, QStringLiteral("X.app")).contains(QStringLiteral("\nPath=%1\n").arg(origin))) << test.disk;
    }
    EXPECT_TRUE(QDir(disks + QStringLiteral("/linked/shared")).isEmpty());
}

} // namespace
