#include "InstallCheckManager.h"

#include "KeyConstants.h"
#include "QtPrinters.h"
#include "TestSupport.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

const QString kClient = QStringLiteral("1.19.0 (5)");

struct Three {
    int32_t major = -1, minor = -1, bugfix = -1;
    bool operator==(const Three&) const = default;
};

QVariantMap itemAt(const QString& installPath)
{
    return {{kInstallPath, installPath}};
}

QString bundleWithVersion(const ScratchHome& home, const QString& name, const QVariant& version)
{
    QVariantMap info;
    if (version.isValid())
        info.insert(QStringLiteral("CFBundleShortVersionString"), version);
    return makeBundle(home.path(name), info);
}

// A tool that prints `output` with printf (so no line break unless asked with "\\n").
QVariantMap toolPrinting(const ScratchHome& home, const QString& name, const QString& output)
{
    return itemAt(makeScript(home.path(name), QStringLiteral("printf '%b' '") + output + u'\''));
}

// Restores the tool time-out after a test shortened it.
struct ShortToolTimeout {
    ShortToolTimeout() { InstallCheckManager::setToolVersionTimeout(300ms); }
    ~ShortToolTimeout() { InstallCheckManager::setToolVersionTimeout(10s); }
};

} // namespace

TEST(ParseVersionString, ExactlyThreePartsEachReadAsAnInteger)
{
    Three v;
    EXPECT_TRUE(InstallCheckManager::parseVersionString(QStringLiteral("1.2.x"), &v.major, &v.minor, &v.bugfix));
    EXPECT_EQ(v, (Three{1, 2, 0}));
    EXPECT_TRUE(InstallCheckManager::parseVersionString(QStringLiteral("1..3"), &v.major, &v.minor, &v.bugfix));
    EXPECT_EQ(v, (Three{1, 0, 3}));
    for (const char* rejected : {"1.2", "1.2.3.4", "", "7"}) {
        Three untouched;
        EXPECT_FALSE(InstallCheckManager::parseVersionString(QString::fromLatin1(rejected), &untouched.major,
                                                             &untouched.minor, &untouched.bugfix));
        EXPECT_EQ(untouched, Three{}) << rejected;
    }
}

TEST(CheckFrameworkVersion, NumericComparisonMajorFirst)
{
    LogCapture log;
    const auto required = [](const char* version) { return QVariantMap{{kVersion, QString::fromLatin1(version)}}; };
    EXPECT_TRUE(InstallCheckManager::checkFrameworkVersion(required("1.2.3"), 1, 2, 3));
    EXPECT_FALSE(InstallCheckManager::checkFrameworkVersion(required("1.2.4"), 1, 2, 3));
    EXPECT_TRUE(InstallCheckManager::checkFrameworkVersion(required("1.9.9"), 2, 0, 0));
    EXPECT_TRUE(InstallCheckManager::checkFrameworkVersion(required("1.9.0"), 1, 10, 0));
    EXPECT_FALSE(InstallCheckManager::checkFrameworkVersion(required("1.10.0"), 1, 9, 99));
    EXPECT_EQ(log.messages().mid(0, 2),
              (QStringList{QStringLiteral("Found framework version string \"1.2.3\" parsed as 1.2.3"),
                           QStringLiteral("Found framework up-to-date")}));
    EXPECT_TRUE(log.contains(QStringLiteral("Found framework out-of-date")));
}

TEST(CheckFrameworkVersion, MissingOrMalformedRequirementIsOutOfDate)
{
    LogCapture log;
    EXPECT_FALSE(InstallCheckManager::checkFrameworkVersion({{kVersion, QStringLiteral("1.2")}}, 9, 9, 9));
    EXPECT_FALSE(InstallCheckManager::checkFrameworkVersion({}, 9, 9, 9));
    EXPECT_EQ(log.messages(), (QStringList{QStringLiteral("Failed to parse version string \"1.2\""),
                                           QStringLiteral("Failed to parse version string \"\"")}));
}

TEST(GetBundleVersion, ReadsTheInstalledShortVersion)
{
    ScratchHome home;
    Three v;
    const QString bundle = bundleWithVersion(home, QStringLiteral("FS.fs"), QStringLiteral("2.10.1"));
    EXPECT_TRUE(InstallCheckManager::getBundleVersion(itemAt(bundle + u'/'), &v.major, &v.minor, &v.bugfix));
    EXPECT_EQ(v, (Three{2, 10, 1}));

    const QString framework = home.path(QStringLiteral("Kit.framework"));
    writePlist(framework + QStringLiteral("/Versions/Current/Resources/Info.plist"),
               QVariantMap{{QStringLiteral("CFBundleShortVersionString"), QStringLiteral("3.1.4")}});
    EXPECT_TRUE(InstallCheckManager::getFrameworkVersion(itemAt(framework), &v.major, &v.minor, &v.bugfix));
    EXPECT_EQ(v, (Three{3, 1, 4}));
    EXPECT_FALSE(InstallCheckManager::getBundleVersion(itemAt(framework), &v.major, &v.minor, &v.bugfix));
}

TEST(GetBundleVersion, UnreadableVersionsAnswerNoAndNeedAnUpdate)
{
    ScratchHome home;
    const QString garbage = makeBundle(home.path(QStringLiteral("Garbage.bundle")), {});
    writeFile(garbage + QStringLiteral("/Contents/Info.plist"), QByteArray("\x89PNG\0\0<plist>", 13));
    const QString unreadable = bundleWithVersion(home, QStringLiteral("Unreadable.bundle"), QStringLiteral("1.2.3"));
    writeFile(unreadable + QStringLiteral("/Contents/Info.plist"), {}, 0);
    const QList<QVariantMap> items = {
        {},
        itemAt(home.path(QStringLiteral("Absent.bundle"))),
        itemAt(garbage),
        itemAt(unreadable),
        itemAt(bundleWithVersion(home, QStringLiteral("NoVersion.bundle"), QVariant())),
        itemAt(bundleWithVersion(home, QStringLiteral("Empty.bundle"), QStringLiteral(""))),
        itemAt(bundleWithVersion(home, QStringLiteral("Number.bundle"), 3)),
        itemAt(bundleWithVersion(home, QStringLiteral("TwoParts.bundle"), QStringLiteral("1.19"))),
    };
    LogCapture log;
    for (const QVariantMap& item : items) {
        Three v;
        EXPECT_FALSE(InstallCheckManager::getBundleVersion(item, &v.major, &v.minor, &v.bugfix))
            << qPrintable(item.value(kInstallPath).toString());
        EXPECT_EQ(v, Three{});
        EXPECT_TRUE(InstallCheckManager::doesBundleNeedUpdate(item, kClient));
    }
    EXPECT_TRUE(log.messages().isEmpty());
}

TEST(DoesBundleNeedUpdate, BehindInMajorOrMinorOnly)
{
    ScratchHome home;
    LogCapture log;
    const QString old = bundleWithVersion(home, QStringLiteral("Old.bundle"), QStringLiteral("1.18.20"));
    EXPECT_TRUE(InstallCheckManager::doesBundleNeedUpdate(itemAt(old), kClient));
    EXPECT_FALSE(InstallCheckManager::doesBundleNeedUpdate(
        itemAt(bundleWithVersion(home, QStringLiteral("Same.bundle"), QStringLiteral("1.19.0"))), kClient));
    const QString newer = bundleWithVersion(home, QStringLiteral("New.bundle"), QStringLiteral("2.0.0"));
    EXPECT_FALSE(InstallCheckManager::doesBundleNeedUpdate(itemAt(newer), kClient));
    EXPECT_TRUE(log.contains(QStringLiteral("\"%1\" needs to update from 1.18.20 to 1.19.0 (5)").arg(old)));
    EXPECT_TRUE(log.contains(QStringLiteral("\"%1\" does not need to update from 2.0.0").arg(newer)));
}

TEST(DoesToolNeedUpdate, ComparesTheToolsPrintedVersionWithTheClients)
{
    ScratchHome home;
    LogCapture log;
    const QVariantMap limited = toolPrinting(home, QStringLiteral("limited"), QStringLiteral("Limited 1.19.2 (300)\\n"));
    EXPECT_FALSE(InstallCheckManager::doesToolNeedUpdate(limited, kClient));
    EXPECT_TRUE(InstallCheckManager::doesToolNeedUpdate(
        toolPrinting(home, QStringLiteral("old"), QStringLiteral("1.18.9 (999)")), kClient));
    EXPECT_FALSE(InstallCheckManager::doesToolNeedUpdate(
        toolPrinting(home, QStringLiteral("new"), QStringLiteral("2.0.0 (1)")), kClient));
    // Everything up to the last "Limited " goes.
    EXPECT_TRUE(InstallCheckManager::doesToolNeedUpdate(
        toolPrinting(home, QStringLiteral("twice"), QStringLiteral("Limited 9.9.9 (9) Limited 1.1.0 (1)")), kClient));

    EXPECT_TRUE(log.contains(
        QStringLiteral("\"%1\" does not need to update from 1.19.2 (300)").arg(limited.value(kInstallPath).toString())));
    EXPECT_TRUE(log.contains(
        QStringLiteral("\"%1\" needs to update from 1.18.9 (999) to 1.19.0 (5)").arg(home.path(QStringLiteral("old")))));
}

TEST(DoesToolNeedUpdate, NoParseableVersionMeansZerosUnlessTheClientIsZeroToo)
{
    ScratchHome home;
    LogCapture log;
    const QVariantMap silent = toolPrinting(home, QStringLiteral("silent"), QString());
    const QVariantMap junk = itemAt(makeScript(home.path(QStringLiteral("junk")), QStringLiteral("head -c 3000 /bin/sh")));
    EXPECT_TRUE(InstallCheckManager::doesToolNeedUpdate(silent, kClient));
    EXPECT_TRUE(InstallCheckManager::doesToolNeedUpdate(junk, kClient));
    // A client version of two parts reads as zeros: nothing is ever behind it.
    EXPECT_FALSE(InstallCheckManager::doesToolNeedUpdate(
        toolPrinting(home, QStringLiteral("old"), QStringLiteral("0.1.0 (1)")), QStringLiteral("1.19 (5)")));
    EXPECT_TRUE(log.contains(QStringLiteral("Failed to extract version from string \"1.19 (5)\"")));
    EXPECT_TRUE(log.contains(
        QStringLiteral("\"%1\" printed 3000 bytes of binary output instead of its version; it needs to be replaced")
            .arg(junk.value(kInstallPath).toString())));
}

TEST(DoesToolNeedUpdate, ToolsThatCannotRunOrDoNotFinishNeedAnUpdate)
{
    ScratchHome home;
    ShortToolTimeout timeout;
    LogCapture log;
    const QString notExecutable = home.path(QStringLiteral("plain"));
    writeFile(notExecutable, "#!/bin/sh\necho 1.19.0 (5)\n", 0644);
    EXPECT_TRUE(InstallCheckManager::doesToolNeedUpdate(itemAt(notExecutable), kClient));
    EXPECT_TRUE(log.messages().last().startsWith(QStringLiteral("Cannot run \"%1\" to ask its version").arg(notExecutable)));

    QElapsedTimer clock;
    clock.start();
    const QVariantMap hanging = itemAt(
        makeScript(home.path(QStringLiteral("hanging")), QStringLiteral("echo 1.19.0 \\(5\\); exec sleep 30")));
    EXPECT_TRUE(InstallCheckManager::doesToolNeedUpdate(hanging, kClient));
    EXPECT_TRUE(log.messages().last().contains(QStringLiteral("did not tell its version within 300 ms")));
    const QVariantMap endless = itemAt(makeScript(home.path(QStringLiteral("endless")), QStringLiteral("exec yes 1.19.0")));
    EXPECT_TRUE(InstallCheckManager::doesToolNeedUpdate(endless, kClient));
    EXPECT_TRUE(log.messages().last().contains(QStringLiteral("instead of its version")));
    EXPECT_LT(clock.elapsed(), 5000);
}

TEST(OperatingSystemRules, WithoutTheWordOrWithoutAKnownSystemTheItemIsRequired)
{
    ScopedEnvironment environment;
    environment.unset("QUORBEL_SYSTEM_VERSION");
    Three v;
    EXPECT_FALSE(InstallCheckManager::getMacOSXVersion(&v.major, &v.minor, &v.bugfix));
    EXPECT_TRUE(InstallCheckManager::checkMaxMacOSXVersion({{kMaxMacOSXVersion, QStringLiteral("10.4")}}));
    EXPECT_TRUE(InstallCheckManager::checkMinMacOSXVersion({{kMinMacOSXVersion, QStringLiteral("10.4")}}));
    environment.set("QUORBEL_SYSTEM_VERSION", QStringLiteral("11.2"));
    EXPECT_TRUE(InstallCheckManager::getMacOSXVersion(&v.major, &v.minor, &v.bugfix));
    EXPECT_EQ(v, (Three{11, 2, 0}));
    EXPECT_TRUE(InstallCheckManager::checkMaxMacOSXVersion({}));
    EXPECT_TRUE(InstallCheckManager::checkMinMacOSXVersion({}));
}

TEST(OperatingSystemRules, MaxAndMinTablesForEverySystem)
{
    // Systems, then per word the expected answers in that order.
    const QStringList systems = {QStringLiteral("10.3.9"), QStringLiteral("10.4"),    QStringLiteral("10.5.8"),
                                 QStringLiteral("10.6"),   QStringLiteral("10.15.7"), QStringLiteral("11")};
    const QList<std::pair<QString, QList<bool>>> maxTable = {
        {QStringLiteral("10.4"), {false, true, false, false, false, false}},
        {QStringLiteral("10.5"), {true, true, true, false, false, false}},
        {QStringLiteral("10.6"), {true, true, true, true, false, false}},
        {QStringLiteral("10.7"), {false, false, false, false, false, false}},
    };
    const QList<std::pair<QString, QList<bool>>> minTable = {
        {QStringLiteral("10.4"), {false, false, false, false, false, false}},
        {QStringLiteral("10.5"), {false, false, true, true, true, false}},
        {QStringLiteral("10.6"), {false, false, false, false, false, true}},
        {QStringLiteral("11"), {false, false, false, false, false, false}},
    };
    ScopedEnvironment environment;
    for (qsizetype s = 0; s < systems.size(); ++s) {
        environment.set("QUORBEL_SYSTEM_VERSION", systems.at(s));
        for (const auto& [word, answers] : maxTable)
            EXPECT_EQ(InstallCheckManager::checkMaxMacOSXVersion({{kMaxMacOSXVersion, word}}), answers.at(s))
                << "MaxMacOSX " << word.toStdString() << " on " << systems.at(s).toStdString();
        for (const auto& [word, answers] : minTable)
            EXPECT_EQ(InstallCheckManager::checkMinMacOSXVersion({{kMinMacOSXVersion, word}}), answers.at(s))
                << "MinMacOSX " << word.toStdString() << " on " << systems.at(s).toStdString();
    }
}
