// Whole runs of the launcher's command line: the check without a window, the
// unattended repair against a recording stub update tool, the support
// archive, and bounded log files.

#include "ExitStatus.h"
#include "LauncherRun.h"
#include "QtPrinters.h"
#include "TestSupport.h"
#include "ZipBuilder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>
#include <unzip.h>

#include <functional>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

using namespace testing_support;

namespace {

const QString kVersionLine = QStringLiteral("1.19.0 (5)");

QString toolFolder(const LauncherRun& run)
{
    return run.root() + QStringLiteral("/Library/Application Support/Quorbel");
}

// The update tool, the core and a helper tool, in manifest order.
QVariantList threeItems(const LauncherRun& run)
{
    return {
        QVariantMap{{"Type", "QBToolRoot"},
                    {"Name", "updateqb"},
                    {"InstallPath", toolFolder(run) + "/updateqb"},
                    {"Resource", "updateqb"},
                    {"Signature", "updateqb.sig"}},
        QVariantMap{{"Type", "CoreApp"}, {"Name", "QuorbelCore"}, {"Resource", "QuorbelCore.app"}},
        QVariantMap{{"Type", "QBTool"},
                    {"Name", "qbhelper"},
                    {"InstallPath", run.root() + "/usr/local/bin/qbhelper"},
                    {"Resource", "qbhelper"},
                    {"Signature", "qbhelper.sig"}},
    };
}

void writeManifest(const LauncherRun& run, const QVariantList& items)
{
    ASSERT_TRUE(writePlist(run.resources() + "/RequiredItems.plist", QVariantMap{{"RequiredItems", items}}));
}

QString printingTool()
{
    return QStringLiteral("echo '%1'").arg(kVersionLine);
}

void chmodPath(const QString& path, mode_t mode)
{
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), mode), 0) << path.toStdString();
}

QStringList lines(const QString& text)
{
    return text.split(u'\n', Qt::SkipEmptyParts);
}

QString logFolder(const LauncherRun& run)
{
    return run.home() + QStringLiteral("/Library/Logs/Quorbel/Quorbel");
}

// Waits until the wall clock shows a new second, so that the next launch's
// log file gets a name of its own.
void waitForNextSecond()
{
    const QString now = QDateTime::currentDateTime().toString(QStringLiteral("HHmmss"));
    while (QDateTime::currentDateTime().toString(QStringLiteral("HHmmss")) == now)
        QThread::msleep(20);
}

// ---- --check ----

TEST(CommandLineCheck, ASoundTreeIsInOrderWithoutAnyDisplay)
{
    LauncherRun run;
    writeManifest(run, {QVariantMap{{"Type", "CoreApp"}, {"Name", "QuorbelCore"}, {"Resource", "QuorbelCore.app"}}});
    run.environment().remove("QT_QPA_PLATFORM");
    run.environment().remove("DISPLAY");
    run.environment().remove("WAYLAND_DISPLAY");
    ASSERT_EQ(run.run({"--check"}), 0) << run.standardError().toStdString();
    EXPECT_EQ(lines(run.standardOutput()), QStringList{"CoreApp\tQuorbelCore\tOK\t\t"});
    // The same evaluators as a launch: their lines are in the log file, and no core was started.
    EXPECT_TRUE(run.logLines().join('\n').contains("Install check: CoreApp \"QuorbelCore\" is \"OK\""));
    EXPECT_TRUE(run.coreLog(300).isEmpty());
}

TEST(CommandLineCheck, AWrongCoreModeAndAMissingToolAreBothNamed)
{
    LauncherRun run;
    writeManifest(run, threeItems(run));
    chmodPath(run.resources() + "/QuorbelCore.app", 0775);
    ASSERT_EQ(run.run({"--check"}), 1) << run.standardError().toStdString();
    const QString tool = run.root() + "/usr/local/bin/qbhelper";
    EXPECT_EQ(lines(run.standardOutput()),
              (QStringList{"QBToolRoot\tupdateqb\tMissing\t" + toolFolder(run) + "/updateqb\t",
                           "CoreApp\tQuorbelCore\tWrong Permissions\t\t", "QBTool\tqbhelper\tMissing\t" + tool + "\t"}));
    EXPECT_FALSE(run.normalMessages().join('\n').contains("showing the check window"));
}

TEST(CommandLineCheck, ACoreTheLaunchCouldNotStartKeepsItsStatusButCarriesANote)
{
    struct Case {
        const char* name;
        const char* file; // in the core bundle
        bool remove;      // else made not executable
    } cases[] = {
        {"executable missing", "Contents/MacOS/QuorbelCore", true},
        {"executable not executable", "Contents/MacOS/QuorbelCore", false},
        {"Info.plist missing", "Contents/Info.plist", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LauncherRun run;
        const QString path = run.resources() + "/QuorbelCore.app/" + QLatin1String(c.file);
        if (c.remove)
            ASSERT_TRUE(QFile::remove(path));
        else
            chmodPath(path, 0644);
        ASSERT_EQ(run.run({"--check"}), 1) << run.standardError().toStdString();
        const QStringList columns = lines(run.standardOutput()).value(0).split('\t');
        ASSERT_EQ(columns.size(), 5) << run.standardOutput().toStdString();
        EXPECT_EQ(columns[2], "OK");
        EXPECT_TRUE(columns[4].contains(path)) << columns[4].toStdString();
        ASSERT_EQ(run.run({"--check", "--json"}), 1);
        const QJsonObject item = QJsonDocument::fromJson(run.standardOutput().toUtf8())["items"][0].toObject();
        EXPECT_EQ(item["note"].toString(), columns[4]);
    }
}

TEST(CommandLineOutput, EachDiagnosticOnceAndOnlyErrorsUnlessVerbose)
{
    LauncherRun run;
    writeFile(run.resources() + "/RequiredItems.plist", "not a property list");
    ASSERT_EQ(run.run({"--check"}), 2);
    const QStringList said = lines(run.standardError());
    EXPECT_EQ(said.filter("The required-items manifest is not a readable property list").size(), 1)
        << run.standardError().toStdString();
    EXPECT_TRUE(said.filter("(nrm)").isEmpty()) << run.standardError().toStdString();
    ASSERT_EQ(run.run({"--check", "--verbose"}), 2);
    EXPECT_FALSE(lines(run.standardError()).filter("(nrm)").isEmpty()) << run.standardError().toStdString();
}

TEST(CommandLineCheck, JsonIsTheWholeStandardOutputAndCarriesTheFindings)
{
    LauncherRun run;
    writeManifest(run, threeItems(run));
    chmodPath(run.resources() + "/QuorbelCore.app", 0775);
    run.environment().insert("QUORBEL_SYSTEM_VERSION", "10.6.8");
    ASSERT_EQ(run.run({"--check", "--json"}), 1) << run.standardError().toStdString();
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(run.standardOutput().toUtf8(), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << run.standardOutput().toStdString();
    const QJsonObject root = document.object();
    EXPECT_EQ(root["version"].toString(), kVersionLine);
    EXPECT_EQ(root["systemVersion"].toString(), "10.6.8");
    EXPECT_EQ(root["numberRepairsRequired"].toInt(), 3);
    EXPECT_EQ(root["numberItemsMissing"].toInt(), 3);
    EXPECT_FALSE(root["fileSystemRepairRequired"].toBool());
    EXPECT_TRUE(root["helperRepairRequired"].toBool());
    const QJsonArray items = root["items"].toArray();
    ASSERT_EQ(items.size(), 3);
    EXPECT_EQ(items[1].toObject(), (QJsonObject{{"type", "CoreApp"},
                                                {"name", "QuorbelCore"},
                                                {"status", "Wrong Permissions"},
                                                {"statusCode", "wrong-permissions"},
                                                {"reason", "mode 0775, wants 0755"},
                                                {"installPath", QJsonValue()},
                                                {"resolvedPath", run.resources() + "/QuorbelCore.app"},
                                                {"note", QJsonValue()}}));
    EXPECT_EQ(items[2].toObject()["installPath"].toString(), run.root() + "/usr/local/bin/qbhelper");
}

TEST(CommandLineCheck, AManifestThatIsNotAPropertyListIsAFaultNotAnEmptyList)
{
    struct Case {
        const char* what;
        QByteArray manifest; // empty: no manifest at all
        int status;
    };
    const Case cases[] = {
        {"missing", {}, 0},
        {"garbage", "this is not a property list", 2},
        {"no item array",
         "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>RequiredItems</key>"
         "<string>x</string></dict></plist>",
         2},
    };
    for (const Case& c : cases) {
        LauncherRun run;
        const QString manifest = run.resources() + "/RequiredItems.plist";
        QFile::remove(manifest);
        if (!c.manifest.isEmpty()) {
            ASSERT_TRUE(writeFile(manifest, c.manifest));
        }
        EXPECT_EQ(run.run({"--check", "--json"}), c.status) << c.what;
        // Either way a whole report, which says what became of the manifest.
        const QJsonObject report = QJsonDocument::fromJson(run.standardOutput().toUtf8()).object();
        EXPECT_TRUE(report["items"].toArray().isEmpty()) << c.what;
        EXPECT_EQ(report["manifest"].toString(), c.status == 0 ? "missing" : "unreadable") << c.what;
        EXPECT_FALSE(report["manifestError"].toString().isEmpty()) << c.what;
        EXPECT_EQ(report["inOrder"].toBool(), c.status == 0) << c.what;
    }
}

// ---- The report as a contract: docs/check-report.schema.json ----

// Runs the schema's validator on `document`; "" when it is valid and no copy
// with a field removed or misspelt passes; else what went wrong.
QString schemaProblems(const QString& document, const char* kind = "check")
{
    QProcess validator;
    validator.start("python3", {QStringLiteral(QB_SOURCE_DIR "/tests/checkreport/validate.py"),
                                QStringLiteral(QB_SOURCE_DIR "/docs/check-report.schema.json"), QString::fromLatin1(kind)});
    validator.write(document.toUtf8());
    validator.closeWriteChannel();
    if (!validator.waitForFinished(60000))
        return QStringLiteral("the validator did not finish");
    if (validator.exitCode() == 77)
        return QStringLiteral("skip");
    const QString said = QString::fromUtf8(validator.readAllStandardError());
    return validator.exitCode() == 0 ? QString() : said + QStringLiteral("(status %1)").arg(validator.exitCode());
}

// A bundle at `path` whose Info.plist says `version`; none without a version.
void plantBundle(const QString& path, const char* version)
{
    ASSERT_TRUE(QDir().mkpath(path + "/Contents"));
    if (version) {
        ASSERT_TRUE(writePlist(path + "/Contents/Info.plist", QVariantMap{{"CFBundleShortVersionString", version}}));
    }
}

TEST(CommandLineReport, EveryStatusCarriesItsCodeReasonAndExaminedPathAndMeetsTheSchema)
{
    LauncherRun run;
    const QString tool = run.root() + "/usr/local/bin/qbhelper";
    const QString oldBundle = run.root() + "/Library/Old.bundle";
    const QString invalidBundle = run.root() + "/Library/Invalid.bundle";
    plantBundle(oldBundle, "1.0.0");
    plantBundle(invalidBundle, nullptr);
    writeManifest(
        run, {QVariantMap{{"Type", "CoreApp"}, {"Name", "QuorbelCore"}, {"Resource", "QuorbelCore.app"}},
              QVariantMap{{"Type", "QBTool"}, {"Name", "qbhelper"}, {"InstallPath", tool}},
              QVariantMap{{"Type", "Bundle"}, {"Name", "Old"}, {"InstallPath", oldBundle}, {"Version", "2.0.0"}},
              QVariantMap{{"Type", "Bundle"}, {"Name", "Invalid"}, {"InstallPath", invalidBundle}, {"Version", "2.0.0"}},
              QVariantMap{{"Type", "QBToolRoot"}, {"Name", "updateqb"}, {"MinMacOSX", "10.6"}}});
    run.environment().insert("QUORBEL_SYSTEM_VERSION", "10.5.8");
    const QString core = run.resources() + "/QuorbelCore.app";
    struct Expected {
        const char* code;
        QString reason; // "" : none
        QString examined;
    };
    const Expected expected[] = {
        {"ok", "", core},
        {"missing", "nothing installed there", tool},
        {"old-version", "version 1.0.0 older than 2.0.0", oldBundle},
        {"invalid", "no three-part CFBundleShortVersionString in Contents/Info.plist", invalidBundle},
        {"not-required", "not needed on this system version", ""},
    };
    ASSERT_EQ(run.run({"--check", "--json"}), 1) << run.standardError().toStdString();
    const QString inOrderless = run.standardOutput();
    const QJsonArray items = QJsonDocument::fromJson(inOrderless.toUtf8())["items"].toArray();
    ASSERT_EQ(items.size(), 5) << inOrderless.toStdString();
    for (qsizetype i = 0; i < items.size(); ++i) {
        const QJsonObject item = items[i].toObject();
        EXPECT_EQ(item["statusCode"].toString(), expected[i].code) << i;
        EXPECT_EQ(item["reason"].toString(), expected[i].reason) << i;
        EXPECT_EQ(item["resolvedPath"].toString(), expected[i].examined) << i;
    }
    EXPECT_FALSE(QJsonDocument::fromJson(inOrderless.toUtf8())["inOrder"].toBool());

    chmodPath(core, 0775);
    writeManifest(run, {QVariantMap{{"Type", "CoreApp"}, {"Name", "QuorbelCore"}, {"Resource", "QuorbelCore.app"}}});
    ASSERT_EQ(run.run({"--check", "--json"}), 1);
    const QString wrongMode = run.standardOutput();
    EXPECT_EQ(QJsonDocument::fromJson(wrongMode.toUtf8())["items"][0]["reason"].toString(), "mode 0775, wants 0755");

    // Every status, both manifest faults and the support archive's copy meet the schema.
    QStringList documents{inOrderless, wrongMode};
    QFile::remove(run.resources() + "/RequiredItems.plist");
    EXPECT_EQ(run.run({"--check", "--json"}), 0);
    documents.append(run.standardOutput());
    ASSERT_TRUE(writeFile(run.resources() + "/RequiredItems.plist", "not a property list"));
    EXPECT_EQ(run.run({"--check", "--json"}), 2);
    documents.append(run.standardOutput());
    const QString archive = run.home() + "/support.zip";
    ASSERT_EQ(run.run({"--support-archive", archive}), 0) << run.standardError().toStdString();
    const QByteArray archived = readZip(archive)["check.json"];
    EXPECT_EQ(QJsonDocument::fromJson(archived)["manifest"].toString(), "unreadable");
    documents.append(QString::fromUtf8(archived));
    for (const QString& document : documents) {
        const QString problems = schemaProblems(document);
        if (problems == "skip")
            GTEST_SKIP() << "python3-jsonschema is not installed";
        EXPECT_EQ(problems, "") << document.toStdString();
    }
}

// ---- Arguments ----

TEST(CommandLineArguments, QtOptionsAndFileArgumentsKeepTheOrdinaryLaunch)
{
    const QStringList argumentLists[] = {{"-platform", "offscreen"}, {"--platform", "offscreen"}, {"/tmp/some file.txt"}};
    for (const QStringList& arguments : argumentLists) {
        LauncherRun run;
        writeManifest(run, {QVariantMap{{"Type", "CoreApp"}, {"Name", "QuorbelCore"}, {"Resource", "QuorbelCore.app"}}});
        ASSERT_EQ(run.run(arguments), 0) << arguments.join(' ').toStdString();
        EXPECT_TRUE(run.normalMessages().contains("Will terminate now")) << arguments.join(' ').toStdString();
        EXPECT_FALSE(run.coreLog().isEmpty()) << arguments.join(' ').toStdString();
    }
}

TEST(CommandLineArguments, HelpVersionAndMistakes)
{
    LauncherRun run;
    EXPECT_EQ(run.run({"--help"}), 0);
    EXPECT_TRUE(run.standardOutput().contains("--support-archive PATH"));
    EXPECT_EQ(run.run({"--version"}), 0);
    EXPECT_EQ(run.standardOutput(), "Quorbel " + kVersionLine + "\n");
    for (const QStringList& wrong : {QStringList{"--frobnicate"}, QStringList{"--json"}, QStringList{"--check", "--repair"}}) {
        EXPECT_EQ(run.run(wrong), 64) << wrong.join(' ').toStdString();
        EXPECT_TRUE(run.standardOutput().isEmpty());
        EXPECT_TRUE(run.standardError().contains("Usage:"));
        EXPECT_TRUE(run.coreLog(100).isEmpty());
    }
}

// ---- --repair ----

// The stub update tool: prints the version when asked without arguments,
// records each command line, installs itself on "repair", carries out
// "repaircore" and "repairother", and fails the command `failing`.
QString stubUpdateTool(const LauncherRun& run, const QString& record, const QString& failing)
{
    return QStringLiteral(R"sh(if [ $# -eq 0 ]; then %1; exit 0; fi
printf '%s\n' "$*" >> '%2'
if [ "$1" = '%3' ]; then exit 4; fi
case "$1" in
repair) mkdir -p '%4' && cp "$0" '%4/updateqb' && chmod 4755 '%4/updateqb' ;;
repaircore) chmod 755 "$2" ;;
repairother) mkdir -p '%5' && cp "$2" '%5/' && chmod 755 "%5/$(basename "$2")" ;;
esac)sh")
        .arg(printingTool(), record, failing, toolFolder(run), run.root() + "/usr/local/bin");
}

class CommandLineRepair : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "the repair as root needs root";
        writeManifest(run, threeItems(run));
        writeFile(run.resources() + "/updateqb.sig", "signature");
        makeScript(run.resources() + "/qbhelper", printingTool());
        writeFile(run.resources() + "/qbhelper.sig", "signature");
        chmodPath(run.resources() + "/QuorbelCore.app", 0775);
    }

    void useTool(const QString& failing)
    {
        makeScript(run.resources() + "/updateqb", stubUpdateTool(run, record(), failing));
    }

    // Runs --repair from a copy of the bundle in a folder only root can
    // change: a private mount namespace with a fresh tmpfs over /mnt.
    int repairFromRootOnlyFolder(const QString& options = {})
    {
        const QString script = QStringLiteral(
                                   "mount --make-rprivate / && mount -t tmpfs -o mode=0755 tmpfs /mnt && cp -pR \"$1\" /mnt/Quorbel.app "
                                   "&& exec /mnt/Quorbel.app/Contents/MacOS/Quorbel --repair %1")
                                   .arg(options);
        QProcess process;
        process.setProcessEnvironment(run.environment());
        process.start("unshare", {"-m", "sh", "-c", script, "sh", run.bundle()});
        if (!process.waitForFinished(60000)) {
            process.kill();
            process.waitForFinished();
            return -1;
        }
        output = QString::fromUtf8(process.readAllStandardOutput());
        errors = QString::fromUtf8(process.readAllStandardError());
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    QString record() const { return run.home() + "/updateqb.argv"; }
    QStringList recorded() const { return lines(QString::fromUtf8(readFile(record()))); }
    QString installedCore() const { return "/mnt/Quorbel.app/Contents/Resources/QuorbelCore.app"; }

    LauncherRun run;
    QString output;
    QString errors;
};

TEST_F(CommandLineRepair, RepairsInTheCheckWindowsOrderAndEndsInOrder)
{
    useTool(QString());
    const int status = repairFromRootOnlyFolder();
    if (status != 0 && errors.contains("unshare failed"))
        GTEST_SKIP() << "no private mount namespace here";
    ASSERT_EQ(status, 0) << errors.toStdString();
    const QString resources = "/mnt/Quorbel.app/Contents/Resources";
    EXPECT_EQ(recorded(), (QStringList{"repair " + resources + "/updateqb.sig", "repaircore " + installedCore(),
                                       "repairother " + resources + "/qbhelper " + resources + "/qbhelper.sig"}));
    const QStringList printed = lines(output);
    ASSERT_EQ(printed.size(), 6) << output.toStdString();
    EXPECT_EQ(printed.mid(0, 3),
              (QStringList{"repaired\tQBToolRoot\tupdateqb\tMissing", "repaired\tCoreApp\tQuorbelCore\tWrong Permissions",
                           "repaired\tQBTool\tqbhelper\tMissing"}));
    EXPECT_EQ(printed.at(4), "CoreApp\tQuorbelCore\tOK\t\t");
    const QString log = run.logLines().join('\n');
    EXPECT_TRUE(log.contains("Repair run succeeded")) << log.toStdString();
    EXPECT_TRUE(log.contains("Repairing CoreApp \"QuorbelCore\" (Wrong Permissions)..."));
    EXPECT_TRUE(run.coreLog(300).isEmpty());
}

TEST_F(CommandLineRepair, StopsAtTheFirstFailureAndLeavesTheRestUntouched)
{
    useTool(QStringLiteral("repaircore"));
    const int status = repairFromRootOnlyFolder();
    if (status != 0 && errors.contains("unshare failed"))
        GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(status, 1) << errors.toStdString();
    EXPECT_EQ(recorded().size(), 2) << recorded().join('\n').toStdString();
    EXPECT_FALSE(QFileInfo::exists(run.root() + "/usr/local/bin/qbhelper"));
    EXPECT_EQ(lines(output).last(), "failed\tCoreApp\tQuorbelCore\tWrong Permissions");
    EXPECT_TRUE(errors.contains("The repair of CoreApp \"QuorbelCore\" failed")) << errors.toStdString();
    EXPECT_TRUE(run.logLines().join('\n').contains("Repair run failed"));
}

TEST_F(CommandLineRepair, AsJsonListsTheRepairsToTheFailureThenTheCheckItLeft)
{
    useTool(QStringLiteral("repaircore"));
    const int status = repairFromRootOnlyFolder(QStringLiteral("--json"));
    if (status != 0 && errors.contains("unshare failed"))
        GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(status, 1) << errors.toStdString();
    const QJsonObject report = QJsonDocument::fromJson(output.toUtf8()).object();
    const QJsonArray repairs = report["repairs"].toArray();
    ASSERT_EQ(repairs.size(), 2) << output.toStdString();
    EXPECT_EQ(repairs[0]["outcome"].toString(), "repaired");
    EXPECT_EQ(repairs[1]["outcome"].toString(), "failed");
    EXPECT_EQ(repairs[1]["reason"].toString(), "mode 0775, wants 0755");
    // The check after the run: the update tool in place, the core still wrong.
    const QJsonArray items = report["check"]["items"].toArray();
    ASSERT_EQ(items.size(), 3) << output.toStdString();
    EXPECT_EQ(items[0]["statusCode"].toString(), "ok");
    EXPECT_EQ(items[1]["statusCode"].toString(), "wrong-permissions");
    EXPECT_FALSE(report["check"]["inOrder"].toBool());
    const QString problems = schemaProblems(output, "repair");
    if (problems != "skip") {
        EXPECT_EQ(problems, "");
    }
}

TEST_F(CommandLineRepair, RefusesABundleThatOthersCanChange)
{
    useTool(QString());
    // The scratch tree lies under the world-writable /tmp.
    ASSERT_EQ(run.run({"--repair"}), 2) << run.standardError().toStdString();
    EXPECT_TRUE(run.standardError().contains("Refusing to repair as root")) << run.standardError().toStdString();
    EXPECT_TRUE(recorded().isEmpty());
}

TEST_F(CommandLineRepair, AsAnOrdinaryUserFailsCleanlyWhereNoPromptCanBeShown)
{
    useTool(QString());
    // The user needs its own home and a way into the scratch tree.
    const QString scratch = QFileInfo(run.home()).path();
    chmodPath(scratch, 0755);
    ASSERT_EQ(::chown(QFile::encodeName(run.home()).constData(), 65534, 65534), 0);
    QProcess process;
    process.setProcessEnvironment(run.environment());
    process.start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", run.bundle() + "/Contents/MacOS/Quorbel",
                              "--repair"});
    ASSERT_TRUE(process.waitForFinished(30000)) << "the run waited for a prompt nobody can answer";
    const QString printed = QString::fromUtf8(process.readAllStandardOutput());
    const QString said = QString::fromUtf8(process.readAllStandardError());
    EXPECT_EQ(process.exitCode(), ExitStatus::kNoPrompt) << said.toStdString();
    EXPECT_EQ(lines(printed), QStringList{"failed\tQBToolRoot\tupdateqb\tMissing"}) << said.toStdString();
    EXPECT_TRUE(said.contains("no administrator prompt can be shown")) << said.toStdString();
    EXPECT_TRUE(recorded().isEmpty());
    EXPECT_EQ(QFileInfo(run.resources() + "/QuorbelCore.app").permissions() & QFile::WriteGroup, QFile::WriteGroup);
}

// As root, the check runs what the manifest names: a manifest or a resource
// anyone else could have changed is refused before anything is read from it.
TEST(CommandLineCheck, AsRootRefusesWhatOthersCanChange)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root";
    const struct {
        const char* what;
        std::function<void(const LauncherRun&)> spoil;
    } cases[] = {
        {"a manifest anyone can write",
         [](const LauncherRun& run) { chmodPath(run.resources() + "/RequiredItems.plist", 0666); }},
        {"a manifest of another user",
         [](const LauncherRun& run) {
             ASSERT_EQ(::chown(QFile::encodeName(run.resources() + "/RequiredItems.plist").constData(), 65534, 65534), 0);
         }},
        {"a file of another user inside a resource",
         [](const LauncherRun& run) {
             ASSERT_EQ(::chown(QFile::encodeName(run.resources() + "/QuorbelCore.app/Contents/Info.plist").constData(),
                               65534, 65534),
                       0);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LauncherRun run;
        writeManifest(run, {QVariantMap{{"Type", "CoreApp"}, {"Name", "QuorbelCore"}, {"Resource", "QuorbelCore.app"}}});
        ASSERT_EQ(run.run({"--check"}), 0) << run.standardError().toStdString();
        c.spoil(run);
        EXPECT_EQ(run.run({"--check"}), 2) << run.standardError().toStdString();
        EXPECT_TRUE(run.standardError().contains("Refusing to check as root")) << run.standardError().toStdString();
        EXPECT_TRUE(run.standardOutput().isEmpty());
    }
}

// ---- --support-archive ----

TEST(CommandLineSupportArchive, HoldsTheLogsTheCheckAndTheSettingsWithoutAnySecret)
{
    LauncherRun run;
    writeManifest(run, {QVariantMap{{"Type", "CoreApp"}, {"Name", "QuorbelCore"}, {"Resource", "QuorbelCore.app"}}});
    const QStringList secrets{"TopPasswordX1", "TopStateX2", "TopProxyX3", "UserPasswordY4", "UserStateY5", "UserProxyY6"};
    const QVariantMap settings{{"Password", secrets[0]},
                               {"State", secrets[1]},
                               {"StaticProxyPassword", secrets[2]},
                               {"LastUsedUserName", "ann"},
                               {"UserList", QVariantList{QVariantMap{{"UserName", "ann"},
                                                                     {"Password", secrets[3]},
                                                                     {"State", secrets[4]},
                                                                     {"StaticProxyPassword", secrets[5]},
                                                                     {"CacheName", "ann-cache"}}}}};
    ASSERT_TRUE(writePlist(run.home() + "/.config/com.quorbel.Quorbel.plist", settings));
    ASSERT_TRUE(writeFile(logFolder(run) + "/Quorbel-2020-01-01-000000.log", "an earlier launch\n"));
    ASSERT_TRUE(writeFile(run.home() + "/Library/Logs/Quorbel/QuorbelCore/QuorbelCore.log", "core line\n"));
    // A link dressed as a log file must not carry its target into the archive.
    ASSERT_TRUE(writeFile(run.home() + "/private.txt", "LinkedSecretZ7\n"));
    ASSERT_TRUE(QFile::link(run.home() + "/private.txt", logFolder(run) + "/Quorbel-2020-01-02-000000.log"));

    const QString archive = run.home() + "/support.zip";
    ASSERT_EQ(run.run({"--support-archive", archive}), 0) << run.standardError().toStdString();
    EXPECT_EQ(run.standardOutput(), archive + "\n");

    const auto entries = readZip(archive);
    ASSERT_TRUE(entries.count("logs/Quorbel-2020-01-01-000000.log"));
    EXPECT_EQ(entries.at("logs/Quorbel-2020-01-01-000000.log"), "an earlier launch\n");
    EXPECT_FALSE(entries.count("logs/Quorbel-2020-01-02-000000.log"));
    ASSERT_TRUE(entries.count("logs/" + QFileInfo(run.logFile()).fileName().toUtf8()));
    EXPECT_EQ(entries.count("logs/QuorbelCore.log"), 1u);
    ASSERT_EQ(entries.count("check.json"), 1u);
    EXPECT_EQ(QJsonDocument::fromJson(entries.at("check.json"))["items"].toArray().size(), 1);
    ASSERT_EQ(entries.count("settings.plist"), 1u);
    const QByteArray redacted = entries.at("settings.plist");
    EXPECT_TRUE(redacted.contains("ann-cache"));
    EXPECT_EQ(redacted.count("&lt;redacted&gt;"), 6) << redacted.toStdString();

    QStringList planted = secrets;
    planted.append("LinkedSecretZ7");
    const QByteArray raw = readFile(archive);
    for (const QString& secret : planted) {
        EXPECT_FALSE(raw.contains(secret.toUtf8())) << secret.toStdString();
        for (const auto& [name, data] : entries)
            EXPECT_FALSE(data.contains(secret.toUtf8())) << secret.toStdString() << " in " << name.toStdString();
    }
    struct stat status {};
    ASSERT_EQ(::stat(QFile::encodeName(archive).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
}

TEST(CommandLineSupportArchive, NeverWritesOverAFileOrThroughALink)
{
    LauncherRun run;
    const QString existing = run.home() + "/existing.zip";
    const QString target = run.home() + "/target";
    const QString link = run.home() + "/link.zip";
    ASSERT_TRUE(writeFile(existing, "keep me"));
    ASSERT_TRUE(QFile::link(target, link)); // dangling: following it would create the target
    const struct {
        QString path;
        const char* why;
    } cases[] = {{existing, "exists"}, {link, "link"}, {run.home() + "/no/such/folder/a.zip", "unwritable"}};
    for (const auto& c : cases) {
        EXPECT_EQ(run.run({"--support-archive", c.path}), 2) << c.why;
        EXPECT_TRUE(run.standardError().contains("Cannot write the support archive")) << c.why;
        EXPECT_TRUE(run.standardOutput().isEmpty()) << c.why;
    }
    EXPECT_EQ(readFile(existing), "keep me");
    EXPECT_FALSE(QFileInfo::exists(target));
}

// ---- Bounded log files ----

TEST(CommandLineLogFiles, KeepOnlyTheNewestThreeAfterFiveLaunches)
{
    LauncherRun run;
    writeManifest(run, {});
    ASSERT_TRUE(writePlist(run.home() + "/.config/com.quorbel.Quorbel.plist", QVariantMap{{"LogFilesToKeep", 3}}));
    // Old-looking names that are not regular files, and another file, stay.
    ASSERT_TRUE(writeFile(run.home() + "/precious.txt", "precious"));
    ASSERT_TRUE(QDir().mkpath(logFolder(run) + "/Quorbel-2000-01-02-000000.log"));
    ASSERT_TRUE(QFile::link(run.home() + "/precious.txt", logFolder(run) + "/Quorbel-2000-01-01-000000.log"));
    ASSERT_TRUE(writeFile(logFolder(run) + "/notes.txt", "notes"));

    QStringList launched;
    for (int launch = 0; launch < 5; ++launch) {
        if (launch > 0)
            waitForNextSecond();
        ASSERT_EQ(run.run({"--check"}), 0) << run.standardError().toStdString();
        launched.append(QFileInfo(run.logFile()).fileName());
    }
    launched.removeDuplicates();
    ASSERT_EQ(launched.size(), 5);
    const QStringList regular
        = QDir(logFolder(run)).entryList({QStringLiteral("Quorbel-*.log")}, QDir::Files | QDir::NoSymLinks, QDir::Name);
    EXPECT_EQ(regular, launched.mid(2));
    EXPECT_TRUE(QFileInfo(logFolder(run) + "/Quorbel-2000-01-01-000000.log").isSymLink());
    EXPECT_TRUE(QFileInfo(logFolder(run) + "/Quorbel-2000-01-02-000000.log").isDir());
    EXPECT_TRUE(QFileInfo::exists(logFolder(run) + "/notes.txt"));
    EXPECT_EQ(readFile(run.home() + "/precious.txt"), "precious");
}

} // namespace
