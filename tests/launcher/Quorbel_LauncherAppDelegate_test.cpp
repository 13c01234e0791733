#include "Quorbel_LauncherAppDelegate.h"

#include "Bundle.h"
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <cstdio>

using namespace testing_support;

namespace {
const QString kIdent = QStringLiteral("com.quorbel.Quorbel");
}

// Copies a user may have made by hand or by downloading twice, under the
// product's name or its old "Client" name, in either Applications folder.
TEST(EarlierCopies, NameTheProductsCopiesInBothApplicationsFolders)
{
    const QStringList paths = Quorbel_LauncherAppDelegate::earlierCopyPaths(QStringLiteral("Acme"));
    for (const char* expected : {"~/Applications/Acme.app", "~/Applications/Acme-5.app", "/Applications/Acme-1.app",
                                 "/Applications/Acme Client.app", "~/Applications/Acme Client-3.app"})
        EXPECT_TRUE(paths.contains(QString::fromLatin1(expected))) << expected;
    for (const QString& path : paths)
        EXPECT_TRUE(path.startsWith(QStringLiteral("~/Applications/Acme"))
                    || path.startsWith(QStringLiteral("/Applications/Acme")))
            << qPrintable(path);
    EXPECT_FALSE(paths.contains(QStringLiteral("/Applications/Acme-6.app")));
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

TEST(IdentifierSearch, FollowsLinksInsideTheFolderOnlyAndSearchesEachFolderOnce)
{
    ScratchHome home;
    const QString apps = home.path(QStringLiteral("Applications"));
    makeBundle(apps + QStringLiteral("/Utilities/Old Name.app"), {{"CFBundleIdentifier", kIdent}});
    makeBundle(apps + QStringLiteral("/Utilities/Deep/Inner.app"), {{"CFBundleIdentifier", kIdent}});
    makeBundle(home.path(QStringLiteral("Elsewhere/Linked.app")), {{"CFBundleIdentifier", kIdent}});
    // Out of the folder: not followed, neither as a folder nor as a bundle.
    ASSERT_TRUE(QFile::link(home.path(QStringLiteral("Elsewhere")), apps + QStringLiteral("/Shortcut")));
    ASSERT_TRUE(QFile::link(home.path(QStringLiteral("Elsewhere/Linked.app")), apps + QStringLiteral("/Direct.app")));
    // Into the folder: followed, and a folder reached twice is searched once.
    ASSERT_TRUE(QFile::link(apps + QStringLiteral("/Utilities/Deep"), apps + QStringLiteral("/A-Inside")));
    // Two links back up: without a guard the search would branch at every level.
    ASSERT_TRUE(QFile::link(apps, apps + QStringLiteral("/Utilities/Up")));
    ASSERT_TRUE(QFile::link(apps, apps + QStringLiteral("/Utilities/Again")));

    std::optional<QStringList> found;
    Quorbel_LauncherAppDelegate::pathsForIdent(kIdent, apps, &found);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->size(), 2) << qPrintable(found->join(u'\n'));
    EXPECT_TRUE(found->contains(apps + "/Utilities/Old Name.app"));
    EXPECT_EQ(found->filter(QStringLiteral("/Inner.app")).size(), 1);
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

TEST(IdentifierSearch, EndsInTimeWithALinkToTheSystemAndStopsEightFoldersDown)
{
    ScratchHome home;
    const QString apps = home.path(QStringLiteral("Applications"));
    QString folder = apps;
    for (int depth = 1; depth <= 9; ++depth) {
        folder += QStringLiteral("/d%1").arg(depth);
        makeBundle(folder + QStringLiteral("/At%1.app").arg(depth), {{"CFBundleIdentifier", kIdent}});
    }
    ASSERT_TRUE(QFile::link(QStringLiteral("/sys"), apps + QStringLiteral("/System Link")));

    QElapsedTimer timer;
    timer.start();
    std::optional<QStringList> found;
    Quorbel_LauncherAppDelegate::pathsForIdent(kIdent, apps, &found);
    EXPECT_LT(timer.elapsed(), 5000);
    ASSERT_TRUE(found.has_value());
    QStringList names;
    for (const QString& path : *found)
        names.append(QFileInfo(path).fileName());
    names.sort();
    EXPECT_EQ(names, QStringList({"At1.app", "At2.app", "At3.app", "At4.app", "At5.app", "At6.app", "At7.app", "At8.app"}));
}

TEST(IdentifierSearch, SkipsNamesThatAreNotUtf8AndSaysSo)
{
    ScratchHome home;
    LogCapture log;
    const QString apps = home.path(QStringLiteral("Applications"));
    // "Old\xff.app" would read as "Old\uFFFD.app", the name of its neighbour.
    const QString neighbour = makeBundle(apps + QStringLiteral("/Old\uFFFD.app"), {{"CFBundleIdentifier", kIdent}});
    makeBundle(apps + QStringLiteral("/staged.app"), {{"CFBundleIdentifier", kIdent}});
    makeBundle(apps + QStringLiteral("/staged folder/Hidden.app"), {{"CFBundleIdentifier", kIdent}});
    const QByteArray base = QFile::encodeName(apps);
    ASSERT_EQ(::rename((base + "/staged.app").constData(), (base + "/Old\xff.app").constData()), 0);
    ASSERT_EQ(::rename((base + "/staged folder").constData(), (base + "/Folder\xfe").constData()), 0);

    std::optional<QStringList> found;
    Quorbel_LauncherAppDelegate::pathsForIdent(kIdent, apps, &found);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(*found, QStringList{neighbour});
    EXPECT_EQ(log.messages().filter(QStringLiteral("the name is not UTF-8")).size(), 2)
        << qPrintable(log.messages().join(u'\n'));
}
