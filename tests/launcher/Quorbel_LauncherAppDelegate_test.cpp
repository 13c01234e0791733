#include "Quorbel_LauncherAppDelegate.h"

#include "Bundle.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using namespace testing_support;

namespace {
const QString kIdent = QStringLiteral("com.quorbel.Quorbel");
}

TEST(EarlierCopies, AreTheTwentyFourFixedPathsInOrder)
{
    const QStringList paths = Quorbel_LauncherAppDelegate::earlierCopyPaths(QStringLiteral("Quorbel"));
    ASSERT_EQ(paths.size(), 24);
    EXPECT_EQ(paths[0], QStringLiteral("~/Applications/Quorbel.app"));
    EXPECT_EQ(paths[1], QStringLiteral("~/Applications/Quorbel-1.app"));
    EXPECT_EQ(paths[5], QStringLiteral("~/Applications/Quorbel-5.app"));
    EXPECT_EQ(paths[6], QStringLiteral("/Applications/Quorbel.app"));
    EXPECT_EQ(paths[11], QStringLiteral("/Applications/Quorbel-5.app"));
    EXPECT_EQ(paths[12], QStringLiteral("~/Applications/Quorbel Client.app"));
    EXPECT_EQ(paths[18], QStringLiteral("/Applications/Quorbel Client.app"));
    EXPECT_EQ(paths[23], QStringLiteral("/Applications/Quorbel Client-5.app"));
}

TEST(IdentifierSearch, FindsBundlesDepthFirstWithoutLookingInsideThem)
{
    ScratchHome home;
    const QString apps = home.path(QStringLiteral("Applications"));
    makeBundle(apps + QStringLiteral("/Utilities/Old Name.app"), {{"CFBundleIdentifier", kIdent}});
    makeBundle(apps + QStringLiteral("/SHOUT.APP"), {{"CFBundleIdentifier", kIdent}});
    makeBundle(apps + QStringLiteral("/Other.app"), {{"CFBundleIdentifier", "com.example.other"}});
    // A bundle is never searched inside, even when it hides a match.
    makeBundle(apps + QStringLiteral("/Other.app/Contents/Resources/Inner.app"), {{"CFBundleIdentifier", kIdent}});
    // A folder whose name merely contains ".app" is searched as a folder.
    makeBundle(apps + QStringLiteral("/Tools.app.old/Kept.app"), {{"CFBundleIdentifier", kIdent}});
    // No Info.plist, or a damaged one: skipped silently.
    makeBundle(apps + QStringLiteral("/Bare.app"), {}, false);
    writeFile(apps + QStringLiteral("/Broken.app/Contents/Info.plist"), "garbage");
    makeBundle(apps + QStringLiteral("/.Hidden.app"), {{"CFBundleIdentifier", kIdent}});

    std::optional<QStringList> found;
    Quorbel_LauncherAppDelegate::pathsForIdent(kIdent, apps, &found);
    ASSERT_TRUE(found.has_value());
    QStringList sorted = *found;
    sorted.sort();
    EXPECT_EQ(sorted, QStringList({apps + "/.Hidden.app", apps + "/SHOUT.APP", apps + "/Tools.app.old/Kept.app",
                                   apps + "/Utilities/Old Name.app"}));
}

TEST(IdentifierSearch, FollowsLinkedFoldersButNeverLoopsThroughThem)
{
    ScratchHome home;
    const QString apps = home.path(QStringLiteral("Applications"));
    makeBundle(apps + QStringLiteral("/Utilities/Old Name.app"), {{"CFBundleIdentifier", kIdent}});
    makeBundle(home.path(QStringLiteral("Elsewhere/Linked.app")), {{"CFBundleIdentifier", kIdent}});
    ASSERT_TRUE(QFile::link(home.path(QStringLiteral("Elsewhere")), apps + QStringLiteral("/Shortcut")));
    // Two links back up: without a guard the search would branch at every level.
    ASSERT_TRUE(QFile::link(apps, apps + QStringLiteral("/Utilities/Up")));
    ASSERT_TRUE(QFile::link(apps, apps + QStringLiteral("/Utilities/Again")));

    std::optional<QStringList> found;
    Quorbel_LauncherAppDelegate::pathsForIdent(kIdent, apps, &found);
    ASSERT_TRUE(found.has_value());
    QStringList sorted = *found;
    sorted.sort();
    EXPECT_EQ(sorted, QStringList({apps + "/Shortcut/Linked.app", apps + "/Utilities/Old Name.app"}));
}

TEST(IdentifierSearch, LeavesTheListUnmadeWithoutFindsAndCopesWithNoList)
{
    ScratchHome home;
    makeBundle(home.path(QStringLiteral("A/Other.app")), {{"CFBundleIdentifier", "com.example.other"}});
    std::optional<QStringList> found;
    Quorbel_LauncherAppDelegate::pathsForIdent(kIdent, home.path(QStringLiteral("A")), &found);
    EXPECT_FALSE(found.has_value());
    Quorbel_LauncherAppDelegate::pathsForIdent(kIdent, home.path(QStringLiteral("missing")), &found);
    EXPECT_FALSE(found.has_value());
    makeBundle(home.path(QStringLiteral("A/Mine.app")), {{"CFBundleIdentifier", kIdent}});
    Quorbel_LauncherAppDelegate::pathsForIdent(kIdent, home.path(QStringLiteral("A")), nullptr);
}
