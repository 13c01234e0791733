#include "Versions.h"

#include "Bundle.h"
#include "QtPrinters.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace testing_support;

namespace {

struct FourParts {
    int32_t major, minor, build, revision;
    bool operator==(const FourParts&) const = default;
};

FourParts parse(const QString& text)
{
    FourParts parts{-1, -1, -1, -1};
    microsoftStyleVersionFromString(text, &parts.major, &parts.minor, &parts.build, &parts.revision);
    return parts;
}

const QString kExtractFailure = QStringLiteral("Failed to extract version from string \"%1\"");

} // namespace

TEST(MicrosoftStyleVersion, ReadsFourPartTextsWithBuildInParentheses)
{
    LogCapture log;
    EXPECT_EQ(parse(QStringLiteral("1.19.0 (5)")), (FourParts{1, 19, 0, 5}));
    EXPECT_EQ(parse(QStringLiteral("version 2.1.3 (140)\nsecond line 9.9.9 (9)")), (FourParts{2, 1, 3, 140}));
    EXPECT_EQ(parse(QStringLiteral("7")), (FourParts{7, 0, 0, 0}));
    EXPECT_EQ(parse(QStringLiteral("(5)")), (FourParts{5, 0, 0, 0}));
    EXPECT_EQ(parse(QString()), (FourParts{0, 0, 0, 0}));
    EXPECT_TRUE(log.messages().filter(QStringLiteral("Failed to extract")).isEmpty());
}

TEST(MicrosoftStyleVersion, OtherPartCountsLogTheOriginalTextAndGiveZeros)
{
    LogCapture log;
    // "b" is deleted, so "2.0b3 (17)" reads "2.03.17": three parts.
    EXPECT_EQ(parse(QStringLiteral("2.0b3 (17)")), (FourParts{0, 0, 0, 0}));
    EXPECT_EQ(parse(QStringLiteral("1.2.3")), (FourParts{0, 0, 0, 0}));
    EXPECT_TRUE(log.contains(kExtractFailure.arg(QStringLiteral("2.0b3 (17)"))));
    EXPECT_TRUE(log.contains(kExtractFailure.arg(QStringLiteral("1.2.3"))));
}

TEST(MicrosoftStyleVersion, DeletionsAreCaseSensitiveAndNumbersSaturate)
{
    LogCapture log;
    // Only lower-case "a" and "b" go; "Version " stays and reads as 0.
    EXPECT_EQ(parse(QStringLiteral("Version 3.1 (2)")), (FourParts{0, 3, 1, 2}));
    EXPECT_EQ(parse(QStringLiteral("99999999999.1.2 (3)")), (FourParts{2147483647, 1, 2, 3}));
    EXPECT_EQ(parse(QStringLiteral("\xff\xfe binary \x01")), (FourParts{0, 0, 0, 0}));
}

TEST(BuildNumberFromVersionStr, ReadsTheParenthesisedBuild)
{
    EXPECT_EQ(buildNumberFromVersionStr(QStringLiteral("1.19.0 (5)")), 5);
    EXPECT_EQ(buildNumberFromVersionStr(QStringLiteral("1.19.0 ((1234))")), 1234);
    EXPECT_EQ(buildNumberFromVersionStr(QStringLiteral("1.19.0 x")), 0);
}

TEST(BuildNumberFromVersionStrDeathTest, TextWithoutExactlyOneBlankIsAnAssertion)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(buildNumberFromVersionStr(QStringLiteral("1.19.0")),
                 "ASSERTION ERROR: \\[vAndB count\\] == 2 \\(file \"Client/Mac/Common/utils\", line 98\\)");
    EXPECT_DEATH(buildNumberFromVersionStr(QStringLiteral("1.19.0 (5) x")), "vAndB");
}

TEST(VersionOfBundle, UsesShortVersionAndBuildWithDefaults)
{
    ScratchHome home;
    const QString withBoth = makeBundle(home.path(QStringLiteral("A.app")),
                                        {{QStringLiteral("CFBundleShortVersionString"), QStringLiteral("3.0.1")},
                                         {QStringLiteral("CFBundleVersion"), QStringLiteral("77b")}});
    const QString withoutBuild = makeBundle(home.path(QStringLiteral("B.app")),
                                            {{QStringLiteral("CFBundleShortVersionString"), QStringLiteral("3.0.1")}});
    const QString withoutInfo = makeBundle(home.path(QStringLiteral("C.app")), {}, false);

    EXPECT_EQ(versionOfBundleAsString(platform::Bundle(withBoth), 5, true), QStringLiteral("3.0.1 (77)"));
    EXPECT_EQ(versionOfBundleAsString(platform::Bundle(withBoth), 5, false), QStringLiteral("3.0.1"));
    EXPECT_EQ(versionOfBundleAsString(platform::Bundle(withoutBuild), 5, true), QStringLiteral("3.0.1 (5)"));
    EXPECT_EQ(versionOfBundleAsString(platform::Bundle(withoutInfo), 9, true), QStringLiteral("1.19.0 (9)"));
}
