// Whole runs: the launcher loads its windows only when the first one is
// needed, and says so plainly when they cannot be loaded.

#include "LauncherRun.h"

#include <QFile>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace testing_support;

namespace {

QString windowsModule(const LauncherRun& run)
{
    return run.bundle() + "/Contents/Frameworks/libQuorbelWindows.so";
}

} // namespace

TEST(WindowSystemRun, ALaunchThatShowsNothingNeverNeedsTheWindows)
{
    LauncherRun run;
    ASSERT_TRUE(QFile::remove(windowsModule(run)));
    ASSERT_EQ(run.run(), 0) << run.standardError().toStdString();
    EXPECT_EQ(run.normalMessages().last(), "Will terminate now");
    EXPECT_FALSE(run.coreLog().isEmpty());
}

TEST(WindowSystemRun, AWindowThatCannotBeLoadedEndsTheLaunchWithTheReason)
{
    enum Fault { Missing, Damaged, WritableByOthers, Link, Fifo };
    for (const Fault fault : {Missing, Damaged, WritableByOthers, Link, Fifo}) {
        SCOPED_TRACE(fault);
        LauncherRun run;
        const QString module = windowsModule(run);
        if (fault == WritableByOthers) {
            ASSERT_EQ(::chmod(QFile::encodeName(module).constData(), 0666), 0);
        } else if (fault == Link) {
            // A sound module, but reached through a link someone could turn elsewhere.
            ASSERT_TRUE(QFile::rename(module, module + ".real"));
            ASSERT_TRUE(QFile::link(module + ".real", module));
        } else {
            ASSERT_TRUE(QFile::remove(module));
        }
        if (fault == Fifo) {
            ASSERT_EQ(::mkfifo(QFile::encodeName(module).constData(), 0644), 0);
        }
        if (fault == Damaged) {
            QFile file(module);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write("not a library");
        }
        // A core that is not 0755 needs the check window.
        ASSERT_EQ(::chmod(QFile::encodeName(run.resources() + "/QuorbelCore.app").constData(), 0775), 0);
        ASSERT_EQ(run.run(20000), 7) << run.standardError().toStdString();
        const QString log = run.logLines().join(u'\n');
        EXPECT_TRUE(log.contains("No check window can be shown here (cannot load \"" + module + "\"")) << log.toStdString();
        // One line, naming the module.
        const QStringList said = run.standardError().split(u'\n', Qt::SkipEmptyParts);
        EXPECT_EQ(said.filter("the windows module cannot be used: cannot load \"" + module + "\"").size(), 1)
            << run.standardError().toStdString();
        EXPECT_TRUE(run.coreLog(500).isEmpty());
    }
}

TEST(WindowSystemRun, WithoutTheModuleTheMoveOfferIsSkippedAndTheLaunchGoesOn)
{
    LauncherRun run{QStringLiteral("~/Downloads")};
    ASSERT_TRUE(QFile::remove(windowsModule(run)));
    ASSERT_EQ(run.run(), 0) << run.standardError().toStdString();
    const QStringList messages = run.normalMessages();
    EXPECT_TRUE(messages.contains("Not moving: the offer to move could not be shown")) << messages.join(u'\n').toStdString();
    EXPECT_FALSE(run.logLines().join(u'\n').contains("declined"));
    EXPECT_FALSE(run.coreLog().isEmpty());
}

TEST(WindowSystemRun, WithoutADisplayAWindowIsNotAttemptedAndTheLaunchEndsWithSix)
{
    struct Case {
        const char* name;
        const char* display; // nullptr: unset
        bool inOrder;
    } cases[] = {
        {"no display named", nullptr, false},
        {"a display nobody answers on", ":97", false},
        {"in order, no display needed", nullptr, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LauncherRun run;
        for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE"})
            run.environment().remove(QString::fromLatin1(name));
        if (c.display)
            run.environment().insert("DISPLAY", QString::fromLatin1(c.display));
        if (!c.inOrder) {
            ASSERT_EQ(::chmod(QFile::encodeName(run.resources() + "/QuorbelCore.app").constData(), 0775), 0);
        }
        const int status = run.run(20000);
        if (c.inOrder) {
            EXPECT_EQ(status, 0) << run.standardError().toStdString();
            EXPECT_FALSE(run.coreLog().isEmpty());
            continue;
        }
        EXPECT_EQ(status, 6) << run.standardError().toStdString();
        const QStringList said = run.standardError().split(u'\n', Qt::SkipEmptyParts).filter("no display: ");
        ASSERT_EQ(said.size(), 1) << run.standardError().toStdString();
        EXPECT_TRUE(said.first().contains("--check") && said.first().contains("--repair")) << said.first().toStdString();
        // The log was written to its end.
        EXPECT_TRUE(run.logLines().join(u'\n').contains("No check window can be shown here")) << run.logFile().toStdString();
        EXPECT_TRUE(run.coreLog(300).isEmpty());
    }
}
