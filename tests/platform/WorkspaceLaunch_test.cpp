#include "Workspace.h"

#include "TestSupport.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

#include <gtest/gtest.h>

#include <unistd.h>

using namespace testing_support;

namespace {

QByteArray waitForContents(const QString& path)
{
    QDeadlineTimer limit(5000);
    QByteArray text;
    while (!(text = readFile(path)).endsWith('\n') && !limit.hasExpired())
        QThread::msleep(10);
    return text;
}

// Children of this process that ended and were never reaped.
int zombieChildren()
{
    int count = 0;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(entry));
        const qsizetype end = stat.lastIndexOf(')');
        if (end < 0)
            continue;
        const QList<QByteArray> fields = stat.mid(end + 2).split(' ');
        count += fields.size() > 1 && fields[0] == "Z" && fields[1].toLongLong() == ::getpid();
    }
    return count;
}

} // namespace

// A started program runs in a session of its own, from its own folder, with
// SIGPIPE at its default whatever this process does with it; a program that
// cannot run is reported; ended ones are not left behind as zombies.
TEST(WorkspaceLaunch, StartsDetachedFromItsFolderAndLeavesNoZombies)
{
    ScratchHome home;
    const QString folder = home.path(QStringLiteral("Tool.app/Contents/MacOS"));
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString report = home.path(QStringLiteral("report"));
    const QString tool = folder + QStringLiteral("/tool");
    ASSERT_TRUE(writeFile(tool,
                          "#!/bin/sh\n"
                          "ignored=$(sed -n 's/^SigIgn:\\t//p' /proc/self/status)\n"
                          "echo \"$(pwd) $(($(cut -d' ' -f6 /proc/self/stat) == $$)) $((0x$ignored & 0x1000))\" > '"
                              + QFile::encodeName(report) + "'\n",
                          0755));
    const auto previous = ::signal(SIGPIPE, SIG_IGN);
    const int zombiesBefore = zombieChildren();
    EXPECT_TRUE(platform::workspace::launchApplication(tool));
    ::signal(SIGPIPE, previous);
    EXPECT_EQ(QString::fromUtf8(waitForContents(report)), QDir(folder).canonicalPath() + QStringLiteral(" 1 0\n"));

    ASSERT_TRUE(writeFile(home.path(QStringLiteral("plain")), "not a program\n", 0644));
    EXPECT_FALSE(platform::workspace::launchApplication(home.path(QStringLiteral("plain"))));
    ASSERT_TRUE(writeFile(home.path(QStringLiteral("broken")), "#!/nowhere/interpreter\n", 0755));
    EXPECT_FALSE(platform::workspace::launchApplication(home.path(QStringLiteral("broken"))));

    // The next start reaps the ones that ended before it.
    const QString sleeper = home.path(QStringLiteral("sleeper"));
    ASSERT_TRUE(writeFile(sleeper, "#!/bin/sh\nsleep 2\n", 0755));
    EXPECT_TRUE(platform::workspace::launchApplication(sleeper));
    EXPECT_EQ(zombieChildren(), zombiesBefore);
}
