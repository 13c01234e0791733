#include "BrandingManager.h"

#include "Bundle.h"
#include "LocalizedString.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace testing_support;

namespace {

// A main bundle whose strings table holds `table`.
class LocalisedBundle : public ::testing::Test {
protected:
    void useTable(const QByteArray& table)
    {
        const QString bundle = makeBundle(m_home.path(QStringLiteral("App.app")),
                                          {{"CFBundleIdentifier", "com.example.test"}});
        writeFile(bundle + QStringLiteral("/Contents/Resources/en.lproj/Localizable.strings"), table);
        platform::Bundle::setMainBundlePath(bundle);
        BrandingManager::resetSharedManagerForTesting();
    }
    void TearDown() override
    {
        BrandingManager::resetSharedManagerForTesting();
        platform::Bundle::setMainBundlePath(QStringLiteral(QB_BUNDLE_DIR));
    }

    ScratchHome m_home;
    ScopedEnvironment m_environment;
};

const QByteArray kBrandedTable = R"TABLE(
"ProductName" = "Quorbel";
"SatchelProduct" = "Satchel";
"BackupProduct" = "Backup";
"TeamFolderProduct" = "Team Folder";
"TeamFoldersProduct" = "Team Folders";
"Greeting" = "Welcome to {#ProductName#} and {#ProductName#} {#BackupProduct#}";
"Lower" = "{#productname#} {#ProductName#}";
"Two" = "Copy %@ to %@";
"Positional" = "%2$@ before %1$@ (%3$d%%)";
"Menu_Open" = "Open from the menu";
"Open" = "Open";
"Same_Key" = "Same_Key";
"Key" = "Plain key";
"Sync_Openfile" = "Stripped lookup";
)TABLE";

} // namespace

TEST_F(LocalisedBundle, TokensAreReplacedExactlyAndEveryOccurrence)
{
    useTable(kBrandedTable);
    EXPECT_EQ(QBLocalizedString(QStringLiteral("Greeting")), QStringLiteral("Welcome to Quorbel and Quorbel Backup"));
    EXPECT_EQ(QBLocalizedString(QStringLiteral("Lower")), QStringLiteral("{#productname#} Quorbel"));
    EXPECT_EQ(QBLocalizedString(QStringLiteral("Missing {#ProductName#} key")), QStringLiteral("Missing Quorbel key"));
    EXPECT_TRUE(QBLocalizedString(QString()).isNull());
}

TEST_F(LocalisedBundle, BrandValuesMissingFromTheTableHoldTheirKeys)
{
    useTable(R"("Greeting" = "{#ProductName#} / {#SatchelProduct#}";)");
    EXPECT_EQ(BrandingManager::sharedManager().productName(), QStringLiteral("ProductName"));
    EXPECT_EQ(QBLocalizedString(QStringLiteral("Greeting")), QStringLiteral("ProductName / SatchelProduct"));
}

TEST_F(LocalisedBundle, FormatsWithArgumentsFillPlatformDirectives)
{
    useTable(kBrandedTable);
    EXPECT_EQ(QBLocalizedStringWithArguments(QStringLiteral("Two"), QStringLiteral("a"), QStringLiteral("b")),
              QStringLiteral("Copy a to b"));
    EXPECT_EQ(QBLocalizedStringWithArguments(QStringLiteral("Positional"), QStringLiteral("x"), QStringLiteral("y"), 5),
              QStringLiteral("y before x (5%)"));
    EXPECT_TRUE(QBLocalizedStringWithArguments(QStringLiteral("Two"), QStringLiteral("only one")).isNull());
    EXPECT_TRUE(QBLocalizedStringWithArguments(QString(), QStringLiteral("x")).isNull());
}

TEST_F(LocalisedBundle, MonoLookupsPreferTheSectionAndFallBackToThePlainKey)
{
    useTable(kBrandedTable);
    EXPECT_EQ(QBLocalizedMonoString(QStringLiteral("Menu"), QStringLiteral("Open")), QStringLiteral("Open from the menu"));
    EXPECT_EQ(QBLocalizedMonoString(QStringLiteral("Other"), QStringLiteral("Open")), QStringLiteral("Open"));
    // A table text equal to the qualified key counts as missing.
    EXPECT_EQ(QBLocalizedMonoString(QStringLiteral("Same"), QStringLiteral("Key")), QStringLiteral("Plain key"));
    // A qualified key holding a token comes back changed and is used as it is.
    EXPECT_EQ(QBLocalizedMonoString(QStringLiteral("{#ProductName#}"), QStringLiteral("Open")),
              QStringLiteral("Quorbel_Open"));
}

TEST_F(LocalisedBundle, StrippingRemovesBrandValuesBlanksAndSlashSequences)
{
    useTable(kBrandedTable);
    EXPECT_EQ(QBLocalizedMonoStringStripProduct(QStringLiteral("Quorbel Sync"), QStringLiteral("Open /n file")),
              QStringLiteral("Stripped lookup"));
    // Falls back to the plain key as given, not to the stripped one.
    EXPECT_EQ(QBLocalizedMonoStringStripProduct(QStringLiteral("Quorbel"), QStringLiteral("Unknown /r key")),
              QStringLiteral("Unknown /r key"));
}

TEST_F(LocalisedBundle, AMalformedTableFallsBackToKeysAndSaysWhy)
{
    useTable("\"ProductName\" = \"Quorbel\"\n\"Broken\" = ");
    EXPECT_EQ(QBLocalizedString(QStringLiteral("ProductName")), QStringLiteral("ProductName"));
    EXPECT_TRUE(platform::Bundle::mainBundle().stringsTableError().contains(QStringLiteral("Localizable.strings")));
}

TEST_F(LocalisedBundle, AnEmptyTextStaysEmptyButAnEmptyProductNameBecomesTheBundlesName)
{
    // makeBundle writes no CFBundleName: the bundle's file name stands in.
    useTable("\"ProductName\" = \"\";\n\"Blank\" = \"\";\n\"Title\" = \"About {#ProductName#}\";");
    const QString blank = QBLocalizedString(QStringLiteral("Blank"));
    EXPECT_FALSE(blank.isNull());
    EXPECT_TRUE(blank.isEmpty());
    EXPECT_EQ(QBLocalizedString(QStringLiteral("ProductName")), QStringLiteral("App"));
    EXPECT_EQ(QBLocalizedString(QStringLiteral("Title")), QStringLiteral("About App"));
    EXPECT_FALSE(BrandingManager::sharedManager().productNameProblem().isEmpty());

    useTable(kBrandedTable);
    EXPECT_TRUE(BrandingManager::sharedManager().productNameProblem().isEmpty());
}
