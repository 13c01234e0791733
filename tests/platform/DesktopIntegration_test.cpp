#include "DesktopIntegration.h"

#include "TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace testing_support;
using platform::desktop::Copy;

namespace {

QByteArray line(const QByteArray& text, const QByteArray& key)
{
    for (const QByteArray& each : text.split('\n')) {
        if (each.startsWith(key + '='))
            return each.mid(key.size() + 1);
    }
    return "<absent>";
}

// Expected values follow the desktop-entry quoting rules by hand: Exec quoted, with
// ", `, $ and \ escaped inside the quotes and % doubled, then every \ doubled
// again as in any string value; TryExec and the bundle key only the latter.
TEST(DesktopEntryText, QuotesPathsOrRefusesThem)
{
    struct Case {
        QByteArray bundle;
        QByteArray exec; // nullptr: refused
        QByteArray tryExec;
        QByteArray bundleKey;
    };
    const QList<Case> cases{
        {"/Applications/Quorbel.app", R"("/Applications/Quorbel.app/Q")", "/Applications/Quorbel.app/Q",
         "/Applications/Quorbel.app"},
        {"/My Apps/Q.app", R"("/My Apps/Q.app/Q")", "/My Apps/Q.app/Q", "/My Apps/Q.app"},
        {R"(/say "hi"/Q.app)", R"("/say \\"hi\\"/Q.app/Q")", R"(/say "hi"/Q.app/Q)", R"(/say "hi"/Q.app)"},
        {"/it's/Q.app", R"("/it's/Q.app/Q")", "/it's/Q.app/Q", "/it's/Q.app"},
        {"/100%/Q.app", R"("/100%%/Q.app/Q")", "/100%/Q.app/Q", "/100%/Q.app"},
        {"/$HOME/`x`/Q.app", R"("/\\$HOME/\\`x\\`/Q.app/Q")", "/$HOME/`x`/Q.app/Q", "/$HOME/`x`/Q.app"},
        {R"(/back\slash/Q.app)", R"("/back\\\\slash/Q.app/Q")", R"(/back\\slash/Q.app/Q)", R"(/back\\slash/Q.app)"},
        {"/Pr\xc3\xbc"
         "fung/Q.app",
         "\"/Pr\xc3\xbc"
         "fung/Q.app/Q\"",
         "/Pr\xc3\xbc"
         "fung/Q.app/Q",
         "/Pr\xc3\xbc"
         "fung/Q.app"},
        {"/new\nline/Q.app", nullptr, {}, {}},
        {"/tab\t/Q.app", nullptr, {}, {}},
        {"/bad\xff/Q.app", nullptr, {}, {}},
        {"/half\xc3/Q.app", nullptr, {}, {}},
        {"relative/Q.app", nullptr, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bundle.toStdString());
        const Copy copy{QStringLiteral("com.quorbel.Quorbel"), QStringLiteral("Quorbel"), c.bundle, c.bundle + "/Q", {}};
        QString why;
        const std::optional<QByteArray> text = platform::desktop::entryText(copy, &why);
        if (c.exec.isNull()) {
            EXPECT_FALSE(text.has_value());
            EXPECT_FALSE(why.isEmpty());
            continue;
        }
        ASSERT_TRUE(text.has_value()) << why.toStdString();
        EXPECT_EQ(line(*text, "Exec"), c.exec);
        EXPECT_EQ(line(*text, "TryExec"), c.tryExec);
        EXPECT_EQ(line(*text, platform::desktop::kBundleKey), c.bundleKey);
    }
    const Copy unnamable{QStringLiteral("../evil"), QStringLiteral("Q"), "/A/Q.app", "/A/Q.app/Q", {}};
    EXPECT_FALSE(platform::desktop::entryText(unnamable).has_value());
}

// What sits at the entry's path and is not ours is never followed, waited
// on or replaced, by the launch's rule or an explicit integration.
TEST(DesktopIntegration, LeavesWhatIsNotOursAtTheEntryPath)
{
    QTemporaryDir dir;
    const QString home = dir.path() + QStringLiteral("/home");
    const QString applications = home + QStringLiteral("/.local/share/applications");
    ASSERT_TRUE(QDir().mkpath(applications));
    const QByteArray savedHome = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(home));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home + QStringLiteral("/.local/share")));
    const QString bundle = dir.path() + QStringLiteral("/Applications/Quorbel.app");
    writeFile(bundle + QStringLiteral("/Contents/Resources/AppIcon.iconset/icon_16x16.png"), "icon");
    const Copy copy{QStringLiteral("com.quorbel.Quorbel"), QStringLiteral("Quorbel"), QFile::encodeName(bundle),
                    QFile::encodeName(bundle + QStringLiteral("/Contents/MacOS/Quorbel")),
                    bundle + QStringLiteral("/Contents/Resources")};
    const QString entry = applications + QStringLiteral("/com.quorbel.Quorbel.desktop");
    const QString target = dir.path() + QStringLiteral("/target.desktop");
    const QByteArray foreign = "[Desktop Entry]\nType=Application\nName=Other\nExec=other\n";

    struct Case {
        const char* what;
        std::function<void()> make;
        std::function<void()> expectUntouched;
    };
    const QList<Case> cases{
        {"a link to another file",
         [&] {
             writeFile(target, foreign);
             QFile::link(target, entry);
         },
         [&] {
             EXPECT_EQ(QFileInfo(entry).symLinkTarget(), target);
             EXPECT_EQ(readFile(target), foreign);
         }},
        {"a dangling link", [&] { QFile::link(target + QStringLiteral(".missing"), entry); },
         [&] {
             EXPECT_TRUE(QFileInfo(entry).isSymLink());
             EXPECT_FALSE(QFileInfo::exists(target + QStringLiteral(".missing")));
         }},
        {"a FIFO", [&] { ASSERT_EQ(::mkfifo(QFile::encodeName(entry).constData(), 0644), 0); },
         [&] {
             struct stat info {};
             ASSERT_EQ(::lstat(QFile::encodeName(entry).constData(), &info), 0);
             EXPECT_TRUE(S_ISFIFO(info.st_mode));
         }},
        {"another program's entry", [&] { writeFile(entry, foreign); }, [&] { EXPECT_EQ(readFile(entry), foreign); }},
        {"a huge file", [&] { writeFile(entry, foreign + QByteArray(1 << 20, '#')); },
         [&] { EXPECT_EQ(QFileInfo(entry).size(), foreign.size() + (1 << 20)); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(entry);
        QFile::remove(target);
        c.make();
        EXPECT_EQ(platform::desktop::status(copy).state, platform::desktop::State::NotOurs);
        QString why;
        EXPECT_EQ(platform::desktop::refresh(copy, true, &why), platform::desktop::Outcome::Refused);
        EXPECT_EQ(platform::desktop::integrate(copy), platform::desktop::Outcome::Refused);
        EXPECT_EQ(platform::desktop::removeIntegration(copy.identifier), platform::desktop::Outcome::Refused);
        c.expectUntouched();
        EXPECT_EQ(QDir(applications).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
                  QStringList{QStringLiteral("com.quorbel.Quorbel.desktop")})
            << "a temporary file was left behind";
    }
    qunsetenv("XDG_DATA_HOME");
    qputenv("HOME", savedHome);
}

} // namespace
