#include "InstallCheckManager.h"

#include "BinaryPlist.h"
#include "KeyConstants.h"
#include "QtPrinters.h"
#include "TestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using namespace testing_support;

namespace {

#define REQUIRE_ROOT()                                                                                                     \
    if (::geteuid() != 0)                                                                                                  \
    GTEST_SKIP() << "needs root to make files owned by root and by another user"

const QString kToolFolder = QStringLiteral("/Library/Application Support/Quorbel/");

QVariantMap item(const QString& type, const QString& name, const QVariantMap& more = {})
{
    QVariantMap result = more;
    result.insert(kInstallType, type);
    result.insert(kName, name);
    return result;
}

bool chownTo(const QString& path, const char* owner)
{
    return std::system(("chown -h " + QByteArray(owner) + " '" + QFile::encodeName(path) + "'").constData()) == 0;
}

bool chmodTo(const QString& path, mode_t mode)
{
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

// A launcher bundle in a scratch home and system tree, with the manifest the test writes.
class InstallCheckTest : public ::testing::Test {
protected:
    InstallCheckTest()
    {
        bundle = makeBundle(home.path(QStringLiteral("Launcher.app")), {});
        resources = bundle + QStringLiteral("/Contents/Resources");
    }

    InstallCheckManager& check(const QVariantList& items)
    {
        writePlist(resources + QStringLiteral("/RequiredItems.plist"), QVariantMap{{"RequiredItems", items}});
        return checkWithManifestAsWritten();
    }
    InstallCheckManager& checkWithManifestAsWritten()
    {
        manager = std::make_unique<InstallCheckManager>(platform::Bundle(bundle));
        manager->updateStatus();
        return *manager;
    }

    QVariantMap coreApp(mode_t mode)
    {
        const QString core = makeBundle(resources + QStringLiteral("/QuorbelCore.app"), {});
        chmodTo(core, mode);
        return item("CoreApp", "QuorbelCore", {{kResource, "QuorbelCore.app"}});
    }
    // A tool printing `version`, owned by root unless said otherwise.
    QString tool(const QString& path, const QString& version, mode_t mode, const char* owner = nullptr)
    {
        makeScript(path, QStringLiteral("echo '%1'").arg(version));
        if (owner)
            chownTo(path, owner);
        chmodTo(path, mode);
        return path;
    }
    QString installedBundle(const QString& path, const QVariant& version)
    {
        QVariantMap info;
        if (version.isValid())
            info.insert("CFBundleShortVersionString", version);
        return makeBundle(path, info);
    }
    QString root(const QString& absolute) const { return home.systemRoot() + absolute; }

    ScratchHome home;
    LogCapture log;
    QString bundle;
    QString resources;
    std::unique_ptr<InstallCheckManager> manager;
};

void expectCounts(const InstallCheckManager& m, int32_t repairs, int32_t missing, bool helper, bool macFuse)
{
    EXPECT_EQ(m.repairsRequired(), repairs);
    EXPECT_EQ(m.itemsMissing(), missing);
    EXPECT_EQ(m.helperRepairRequired(), helper);
    EXPECT_EQ(m.macFuseRepairRequired(), macFuse);
}

} // namespace

TEST_F(InstallCheckTest, SoundCoreAbsentFrameworkAndUnknownTypeAreAllInOrder)
{
    InstallCheckManager& m = check({coreApp(0755), item("Framework", "Growl", {{kInstallPath, root("/Library/Frameworks/G")}}),
                                    item("Widget", "Other", {{kInstallPath, "/nowhere"}})});
    EXPECT_EQ(m.statuses(), (QStringList{"OK", "OK", "OK"}));
    expectCounts(m, 0, 0, false, false);
    EXPECT_TRUE(m.checkForRequiredItems());
}

TEST_F(InstallCheckTest, CoreAppNeedsMode0755ExactlyOnThePathItself)
{
    for (mode_t mode : {0775, 04755, 0700}) {
        InstallCheckManager& m = check({coreApp(mode)});
        EXPECT_EQ(m.statuses(), QStringList{"Wrong Permissions"}) << std::oct << mode;
        expectCounts(m, 1, 1, true, false);
    }
    // Absent, or named by no "Resource" at all: no mode to match.
    const QVariantMap core = item("CoreApp", "QuorbelCore", {{kResource, "QuorbelCore.app"}});
    ASSERT_TRUE(QFile::rename(resources + "/QuorbelCore.app", resources + "/Real.app"));
    chmodTo(resources + "/Real.app", 0755);
    EXPECT_EQ(check({core}).statuses(), QStringList{"Wrong Permissions"});
    EXPECT_EQ(check({item("CoreApp", "QuorbelCore")}).statuses(), QStringList{"Wrong Permissions"});
    // A link to a sound core is judged as the link.
    ASSERT_TRUE(QFile::link(resources + "/Real.app", resources + "/QuorbelCore.app"));
    EXPECT_EQ(check({core}).statuses(), QStringList{"Wrong Permissions"});
    EXPECT_EQ(check({item("CoreApp", "QuorbelCore", {{kResource, "Real.app"}})}).statuses(), QStringList{"OK"});
}

TEST_F(InstallCheckTest, OneCoreAppLogsItsChecksInOrder)
{
    check({coreApp(0755)});
    const QString core = resources + "/QuorbelCore.app";
    EXPECT_EQ(log.messages(),
              (QStringList{"Updating status...", "Checking CoreApp \"QuorbelCore\"...",
                           QStringLiteral("Examining \"%1\"").arg(core), QStringLiteral("Examining \"%1\"").arg(core),
                           "Install check: CoreApp \"QuorbelCore\" is \"OK\"", "Updated status"}));
}

TEST_F(InstallCheckTest, QBToolMustExistBeCurrentAndBeOwnedByRootWithMode0755)
{
    REQUIRE_ROOT();
    const QString path = root("/usr/local/bin/qbtool");
    const QVariantMap qbtool = item("QBTool", "qbtool", {{kInstallPath, path}});

    EXPECT_EQ(check({qbtool}).statuses(), QStringList{"Missing"});
    expectCounts(*manager, 1, 1, true, false);

    struct Case {
        const char* version;
        mode_t mode;
        const char* owner;
        const char* expected;
    } cases[] = {
        {"Limited 1.19.2 (300)", 0755, "root", "OK"},
        {"1.18.9 (999)", 0755, "root", "Old Version"},
        {"1.19.0 (5)", 0755, "nobody", "Wrong Permissions"},
        {"1.19.0 (5)", 04755, "root", "Wrong Permissions"},
        {"1.19.0 (5)", 0775, "root", "Wrong Permissions"},
        // Old and wrongly owned: a launcher running as root never runs it to ask its version.
        {"1.18.9 (999)", 0755, "nobody", "Wrong Permissions"},
    };
    for (const Case& c : cases) {
        tool(path, c.version, c.mode, c.owner);
        EXPECT_EQ(check({qbtool}).statuses(), QStringList{c.expected}) << c.version << ' ' << c.owner;
    }
}

TEST_F(InstallCheckTest, QBToolRootIsJudgedInTheToolFolderUnderItsName)
{
    REQUIRE_ROOT();
    const QString installed = tool(root("/usr/local/bin/rooty"), "1.19.0 (5)", 0755, "root");
    const QVariantMap rooty = item("QBToolRoot", "rooty", {{kInstallPath, installed}});

    // Absent from the tool folder: passes.
    EXPECT_EQ(check({rooty}).statuses(), QStringList{"OK"});
    const QString inFolder = root(kToolFolder + "rooty");
    for (auto [mode, owner, expected] :
         {std::tuple{04755, "root", "OK"}, std::tuple{0755, "root", "Wrong Permissions"},
          std::tuple{04775, "root", "Wrong Permissions"}, std::tuple{04755, "nobody", "Wrong Permissions"}}) {
        tool(inFolder, "1.19.0 (5)", mode_t(mode), owner);
        EXPECT_EQ(check({rooty}).statuses(), QStringList{expected}) << std::oct << mode << ' ' << owner;
    }
    QFile::remove(installed);
    EXPECT_EQ(check({rooty}).statuses(), QStringList{"Missing"});
    expectCounts(*manager, 1, 1, true, false);
}

TEST_F(InstallCheckTest, NotRequiredItemsAreNotLookedForAndDoNotCount)
{
    ScopedEnvironment environment;
    environment.set("QUORBEL_SYSTEM_VERSION", "11.2");
    const QString absent = root("/nowhere/at/all");
    InstallCheckManager& m = check({
        item("QBToolRoot", "rooty", {{kInstallPath, absent}, {kMinMacOSXVersion, "10.5"}}),
        item("FinderCM", "cm", {{kInstallPath, absent}, {kMaxMacOSXVersion, "10.6"}}),
        item("FinderOverlayInsert", "overlay", {{kInstallPath, absent}, {kMinMacOSXVersion, "10.4"}}),
        item("FinderOverlayInsert", "overlay11", {{kInstallPath, absent}, {kMinMacOSXVersion, "10.6"}}),
    });
    EXPECT_EQ(m.statuses(), (QStringList{"Not Required", "Not Required", "Not Required", "Missing"}));
    expectCounts(m, 1, 1, true, false);

    // Without a known system version every item is required.
    environment.unset("QUORBEL_SYSTEM_VERSION");
    m.updateStatus();
    EXPECT_EQ(m.statuses(), (QStringList{"Missing", "Missing", "Missing", "Missing"}));
}

TEST_F(InstallCheckTest, OnlyNotRequiredProblemsPassTheCheck)
{
    ScopedEnvironment environment;
    environment.set("QUORBEL_SYSTEM_VERSION", "10.6.8");
    InstallCheckManager& m = check(
        {coreApp(0755), item("FinderCM", "cm", {{kInstallPath, "/x"}, {kMaxMacOSXVersion, "10.5"}})});
    EXPECT_EQ(m.statuses(), (QStringList{"OK", "Not Required"}));
    EXPECT_TRUE(m.checkForRequiredItems());
}

TEST_F(InstallCheckTest, FinderPluginsCompareTheirBundleVersionWithTheLauncher)
{
    const QString plugin = root("/Library/Contextual Menu Items/QB.plugin");
    const QVariantMap cm = item("FinderCM", "cm", {{kInstallPath, plugin}});
    EXPECT_EQ(check({cm}).statuses(), QStringList{"Missing"});
    installedBundle(plugin, "1.19.7");
    EXPECT_EQ(check({cm}).statuses(), QStringList{"OK"});
    installedBundle(plugin, "1.18.0");
    EXPECT_EQ(check({cm}).statuses(), QStringList{"Old Version"});
    QFile::remove(plugin + "/Contents/Info.plist");
    EXPECT_EQ(check({item("FinderOverlayInsert", "o", {{kInstallPath, plugin}})}).statuses(), QStringList{"Old Version"});
    expectCounts(*manager, 1, 1, true, false);
}

TEST_F(InstallCheckTest, BundlesNeedAReadableVersionAtLeastTheRequiredOne)
{
    const QString fs = root("/Library/Filesystems/qbfs.fs");
    const QVariantMap bundleItem = item("Bundle", "QuorbelFS", {{kInstallPath, fs}, {kVersion, "2.1.0"}});
    EXPECT_EQ(check({bundleItem}).statuses(), QStringList{"Missing"});
    installedBundle(fs, QVariant());
    EXPECT_EQ(check({bundleItem}).statuses(), QStringList{"Invalid"}); // no version in Info.plist
    writeFile(fs + "/Contents/Info.plist", "not a property list");
    EXPECT_EQ(check({bundleItem}).statuses(), QStringList{"Invalid"});
    installedBundle(fs, "2.0.9");
    EXPECT_EQ(check({bundleItem}).statuses(), QStringList{"Old Version"});
    installedBundle(fs, "2.1.0");
    EXPECT_EQ(check({bundleItem}).statuses(), QStringList{"OK"});
    EXPECT_EQ(check({item("Bundle", "QuorbelFS", {{kInstallPath, fs}})}).statuses(), QStringList{"Old Version"});
    // A failing bundle counts as missing, never as a helper repair.
    expectCounts(*manager, 0, 1, false, true);
    EXPECT_FALSE(manager->checkForRequiredItems());
}

TEST_F(InstallCheckTest, TheLastFailingBundleDecidesTheFileSystemFlag)
{
    const QVariantMap fs = item("Bundle", "QuorbelFS", {{kInstallPath, root("/a")}, {kVersion, "1.0.0"}});
    const QVariantMap other = item("Bundle", "Other", {{kInstallPath, root("/b")}, {kVersion, "1.0.0"}});
    expectCounts(check({fs, other}), 0, 2, false, false);
    expectCounts(check({other, fs}), 0, 2, false, true);
    expectCounts(check({other}), 0, 1, false, false);
}

TEST_F(InstallCheckTest, EachRunStartsAfresh)
{
    InstallCheckManager& m = check({coreApp(0775)});
    expectCounts(m, 1, 1, true, false);
    chmodTo(resources + "/QuorbelCore.app", 0755);
    m.updateStatus();
    EXPECT_EQ(m.statuses(), QStringList{"OK"});
    expectCounts(m, 0, 0, false, false);
}

TEST_F(InstallCheckTest, ADamagedManifestIsLoggedAndNeverCrashes)
{
    const QString manifest = resources + "/RequiredItems.plist";
    struct Case {
        QByteArray contents;
        const char* expected;
    } cases[] = {
        {"", "The required-items manifest RequiredItems.plist is missing"},
        {"<plist><dict><key>RequiredItems", "is unreadable"},
        {R"(<plist><array><string>x</string></array></plist>)", "is unreadable"},
        {R"(<plist><dict><key>RequiredItems</key><string>x</string></dict></plist>)", "has no \"RequiredItems\" array"},
        {R"(<plist><dict><key>Other</key><array/></dict></plist>)", "has no \"RequiredItems\" array"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        QFile::remove(manifest);
        if (!c.contents.isEmpty())
            writeFile(manifest, c.contents);
        InstallCheckManager& m = checkWithManifestAsWritten();
        EXPECT_TRUE(m.items().isEmpty());
        EXPECT_TRUE(m.checkForRequiredItems());
        EXPECT_FALSE(log.lines().filter(QLatin1String(c.expected)).isEmpty());
    }
}

TEST_F(InstallCheckTest, BadItemsAndValuesOfTheWrongTypeCountAsMissing)
{
    const QString plugin = installedBundle(root("/Library/P.plugin"), "1.19.0");
    InstallCheckManager& m = check({
        QStringLiteral("just a string"),
        QVariantMap{{kInstallType, 7}, {kName, "numbered"}},
        item("FinderCM", "cm", {{kInstallPath, QVariantList{plugin}}}),
        item("FinderCM", "cm2", {{kInstallPath, plugin}, {kMaxMacOSXVersion, 10.5}}),
        item("Bundle", "b", {{kInstallPath, plugin}, {kVersion, QVariantMap{}}}),
    });
    ASSERT_EQ(m.items().size(), 5); // still index-aligned
    EXPECT_EQ(m.statuses(), (QStringList{"OK", "OK", "Missing", "OK", "Old Version"}));
    EXPECT_TRUE(log.contains("Required item 0 is not a dictionary (QString); it is not examined"));
    EXPECT_TRUE(log.contains("Required item 1: \"Type\" is a qlonglong, not a string; treated as absent"));
    EXPECT_TRUE(log.contains("Required item 2: \"InstallPath\" is a QVariantList, not a string; treated as absent"));
}

// A path holding a NUL would reach the file system cut short, naming another
// (here: a present) item.
TEST_F(InstallCheckTest, APathHoldingANulCountsAsMissing)
{
    const QString plugin = installedBundle(root("/Library/P.plugin"), "1.19.0");
    const QList<QByteArray> objects{
        container(0xd, 1, ref(1) + ref(2)),
        asciiString("RequiredItems"),
        container(0xa, 1, ref(3)),
        container(0xd, 3, ref(4) + ref(5) + ref(6) + ref(7) + ref(8) + ref(9)),
        asciiString("Type"),
        asciiString("Name"),
        asciiString("InstallPath"),
        asciiString("FinderCM"),
        asciiString("cm"),
        utf16String(plugin + QChar(0) + QStringLiteral("/elsewhere")),
    };
    ASSERT_TRUE(writeFile(resources + QStringLiteral("/RequiredItems.plist"), binaryPlist(objects)));
    InstallCheckManager& m = checkWithManifestAsWritten();
    EXPECT_EQ(m.statuses(), QStringList{"Missing"});
    EXPECT_TRUE(log.contains("Required item 0: \"InstallPath\" holds a NUL character; treated as absent"));
}

TEST_F(InstallCheckTest, PathsInResourcesJoinOneComponentAndNeedTheKey)
{
    InstallCheckManager& m = check({});
    const QVariantMap full{{kResource, "tools/qbtool"}, {kInstaller, "/FS.pkg"}, {kSignature, "qbtool.sig"}};
    EXPECT_EQ(m.pathToRequiredItemInResources(full), resources + "/tools/qbtool");
    EXPECT_EQ(m.pathToRequiredItemInstallerInResources(full), resources + "/FS.pkg");
    EXPECT_EQ(m.pathToRequiredItemSignatureInResources(full), resources + "/qbtool.sig");
    EXPECT_EQ(m.pathToRequiredItemInResources({}), QString());
    EXPECT_EQ(m.pathToRequiredItemSignatureInResources({{kSignature, ""}}), QString());
}

// Bundles after a tool are judged as they are once the tool has run, however
// many come before and after it.
TEST_F(InstallCheckTest, BundlesAreReadAfterTheToolsBeforeThem)
{
    REQUIRE_ROOT();
    const QString updated = home.path(QStringLiteral("updated.plist"));
    ASSERT_TRUE(writePlist(updated, QVariantMap{{"CFBundleShortVersionString", "2.0.0"}}));
    QVariantList items;
    QString copies;
    QStringList expected;
    for (int i = 0; i < 8; ++i) {
        const QString path = root(QStringLiteral("/Library/Bundles/b%1.bundle").arg(i));
        installedBundle(path, "1.0.0");
        items.append(item("Bundle", QStringLiteral("b%1").arg(i), {{kInstallPath, path}, {kVersion, "2.0.0"}}));
        expected.append(i < 4 ? "Old Version" : "OK");
        if (i >= 4)
            copies += QStringLiteral("cp '%1' '%2/Contents/Info.plist'\n").arg(updated, path);
    }
    // The tool, between the fourth and the fifth bundle, updates the last four.
    const QString toolPath = root("/usr/local/bin/qbtool");
    makeScript(toolPath, copies + QStringLiteral("echo 'Limited 1.19.2 (300)'"));
    chownTo(toolPath, "root");
    chmodTo(toolPath, 0755);
    items.insert(4, item("QBTool", "qbtool", {{kInstallPath, toolPath}}));
    expected.insert(4, "OK");
    EXPECT_EQ(check(items).statuses(), expected);
}
