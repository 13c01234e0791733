#include "MoveToApplicationsFolder.h"

#include "Alert.h"
#include "AppKitVersion.h"
#include "Authorization.h"
#include "Bundle.h"
#include "FileManager.h"
#include "SystemLocations.h"
#include "TestSupport.h"
#include "UserDefaults.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace testing_support;

namespace {

const QString kMoveTitle = QStringLiteral("Move to Applications folder?");
const QString kAdminNote = QStringLiteral("Note that this will require an administrator password.");
const QString kDownloadsNote = QStringLiteral("This will keep your Downloads folder uncluttered.");

// Runs a helper tool, its output discarded; answers its exit status.
int runQuietly(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(program, arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    return process.exitCode();
}

// Answers alerts from a queue (decline when it runs dry) and keeps them.
class ScriptedAlerts final : public platform::AlertPresenter {
public:
    platform::AlertResponse runModal(const platform::AlertRequest& request) override
    {
        shown.append(request);
        if (answers.isEmpty())
            return {1, false};
        return answers.takeFirst();
    }
    QList<platform::AlertRequest> shown;
    QList<platform::AlertResponse> answers;
};

// Grants or refuses the right as told and carries out the requests for real
// (the scratch tree needs no rights), unless a test overrides a request.
// Each request is recorded as its name and path (an install with its folder too).
class FakeAuthorization final : public platform::AuthorizationService {
public:
    struct Session final : platform::AuthorizationSession {
        explicit Session(FakeAuthorization* owner) : m_owner(owner) {}
        int32_t copyAdminRights() override
        {
            m_owner->actions.append(action());
            return m_owner->rightsStatus;
        }
        QString applicationsFolder() const override
        {
            return m_owner->rightsFolder.isEmpty() ? platform::locations::applicationsFolders(platform::Domain::Local).last()
                                                   : m_owner->rightsFolder;
        }
        int32_t perform(const QStringList& request, platform::PrivilegedOutcome* outcome) override
        {
            m_owner->commands.append(request.mid(0, request.first() == QStringLiteral("install") ? 3 : 2));
            const auto special = m_owner->handlers.find(request.first());
            if (special != m_owner->handlers.end()) {
                outcome->done = special->second(request);
            } else if (request.first() == QStringLiteral("remove")) {
                outcome->done = QDir(request.at(1)).removeRecursively();
            } else if (request.first() == QStringLiteral("install")) {
                QString why;
                outcome->done = platform::files::copyItem(request.at(1), request.at(2) + u'/' + request.at(3), &why);
            }
            return platform::errAuthorizationSuccess;
        }
        FakeAuthorization* m_owner;
    };

    std::unique_ptr<platform::AuthorizationSession> createSession(int32_t* status) override
    {
        *status = platform::errAuthorizationSuccess;
        return std::make_unique<Session>(this);
    }
    bool hasAdministratorRights() const override { return asRoot; }

    bool asRoot = false;
    QList<platform::PrivilegedAction> actions;
    int32_t rightsStatus = platform::errAuthorizationSuccess;
    QString rightsFolder; // the only folder the rights install into; "" for the local Applications folder
    QList<QStringList> commands;
    std::map<QString, std::function<bool(const QStringList&)>> handlers;
};

// Every file below `root` with its contents, to see that a tree is untouched.
QMap<QString, QByteArray> snapshot(const QString& root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(path.mid(root.size()), it.fileInfo().isFile() ? readFile(path) : QByteArray("<entry>"));
    }
    return files;
}

class MoveToApplicationsFolderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_savedMainBundle = platform::Bundle::mainBundle().bundlePath();
        platform::AlertPresenter::setShared(&alerts);
        platform::AuthorizationService::setShared(&authorization);
        PFSetMoveActions({[this](const QString& line) {
                              shellLines.append(line);
                              return true;
                          },
                          [this] { ++terminations; }});
        PFAlsoRemoveBundles({});
        QDir().mkpath(applications());
    }

    void TearDown() override
    {
        for (const QString& path : m_immutable)
            runQuietly(QStringLiteral("chattr"), {QStringLiteral("-i"), path});
        runQuietly(QStringLiteral("chmod"), {QStringLiteral("-R"), QStringLiteral("u+w"), home.path(QString())});
        PFSetMoveActions({});
        PFAlsoRemoveBundles({});
        platform::appkit::setVersionNumber(0);
        platform::AlertPresenter::setShared(nullptr);
        platform::AuthorizationService::setShared(nullptr);
        platform::Bundle::setMainBundlePath(m_savedMainBundle);
    }

    QString applications() const { return home.systemRoot() + QStringLiteral("/Applications"); }
    QString trashed(const QString& name) const { return home.home() + QStringLiteral("/.local/share/Trash/files/") + name; }

    // A runnable-looking bundle, made the running one.
    QString runFrom(const QString& bundlePath)
    {
        makeBundle(bundlePath, {{QStringLiteral("CFBundleIdentifier"), QStringLiteral("com.example.quorbel")},
                                {QStringLiteral("CFBundleExecutable"), QStringLiteral("X")}});
        makeScript(bundlePath + QStringLiteral("/Contents/MacOS/X"), QStringLiteral("exit 0"));
        writeFile(bundlePath + QStringLiteral("/Contents/Resources/data.txt"), "payload");
        platform::Bundle::setMainBundlePath(bundlePath);
        return bundlePath;
    }

    QString makeOldCopy(const QString& bundlePath)
    {
        makeBundle(bundlePath, {{QStringLiteral("CFBundleIdentifier"), QStringLiteral("com.example.quorbel")}});
        writeFile(bundlePath + QStringLiteral("/Contents/Resources/old.txt"), "old");
        return bundlePath;
    }

    // Unwritable even for root (immutable flag) where the system allows it.
    bool makeUnwritable(const QString& path)
    {
        ::chmod(QFile::encodeName(path).constData(), 0555);
        if (!platform::files::isWritable(path))
            return true;
        if (runQuietly(QStringLiteral("chattr"), {QStringLiteral("+i"), path}) != 0)
            return false;
        m_immutable.append(path);
        return !platform::files::isWritable(path);
    }

    void acceptMove() { alerts.answers.append({0, false}); }
    bool failureAlertShown() const
    {
        return alerts.shown.size() == 2 && alerts.shown.at(1).messageText.startsWith(QStringLiteral("Could not"));
    }

    ScratchHome home;
    LogCapture log;
    ScriptedAlerts alerts;
    FakeAuthorization authorization;
    QStringList shellLines;
    int terminations = 0;

private:
    QString m_savedMainBundle;
    QStringList m_immutable;
};

TEST_F(MoveToApplicationsFolderTest, OffersOnlyOutsideEveryApplicationsFolder)
{
    const QString root = home.systemRoot();
    const QMap<QString, bool> offers{{applications() + QStringLiteral("/Sub/X.app"), false},
                                     {home.home() + QStringLiteral("/Applications/X.app"), false},
                                     {root + QStringLiteral("/Volumes/Disk/Applications/X.app"), false},
                                     {root + QStringLiteral("/Network/Applications/X.app"), false},
                                     {root + QStringLiteral("/Applications Old/X.app"), false},
                                     {home.home() + QStringLiteral("/Downloads/X.app"), true}};
    for (auto it = offers.cbegin(); it != offers.cend(); ++it) {
        alerts.shown.clear();
        runFrom(it.key());
        PFMoveToApplicationsFolderIfNecessary();
        EXPECT_EQ(alerts.shown.size(), it.value() ? 1 : 0) << qPrintable(it.key());
        if (it.value()) {
            EXPECT_EQ(alerts.shown.value(0).messageText, kMoveTitle);
        }
    }
    EXPECT_EQ(terminations, 0);
}

TEST_F(MoveToApplicationsFolderTest, DecliningAsksAgainUnlessTheCheckboxWasTicked)
{
    const QString source = runFrom(home.home() + QStringLiteral("/Downloads/X.app"));
    alerts.answers = {{1, false}};
    PFMoveToApplicationsFolderIfNecessary();
    EXPECT_FALSE(
        platform::UserDefaults::standardUserDefaults().boolForKey(QStringLiteral("moveToApplicationsFolderAlertSuppress")));

    alerts.answers = {{1, true}};
    PFMoveToApplicationsFolderIfNecessary();
    EXPECT_TRUE(
        platform::UserDefaults::standardUserDefaults().boolForKey(QStringLiteral("moveToApplicationsFolderAlertSuppress")));

    PFMoveToApplicationsFolderIfNecessary();
    EXPECT_EQ(alerts.shown.size(), 2);
    EXPECT_TRUE(platform::files::isDirectory(source));
    EXPECT_TRUE(authorization.commands.isEmpty());
}

TEST_F(MoveToApplicationsFolderTest, FirstInstallIntoWritableApplicationsTakesTheAuthorisedMove)
{
    const QString source = runFrom(home.home() + QStringLiteral("/Downloads/X.app"));
    const QString destination = applications() + QStringLiteral("/X.app");
    acceptMove();
    PFMove();

    ASSERT_EQ(alerts.shown.size(), 1);
    const platform::AlertRequest& offer = alerts.shown.first();
    EXPECT_EQ(offer.informativeText,
              QStringLiteral("I can move myself to the Applications folder if you'd like. ") + kAdminNote);
    EXPECT_EQ(offer.buttonTitles,
              (QStringList{QStringLiteral("Move to Applications Folder"), QStringLiteral("Do Not Move")}));
    EXPECT_EQ(offer.escapeButton, 1);
    EXPECT_TRUE(offer.showsSuppressionButton);

    EXPECT_EQ(authorization.commands, (QList<QStringList>{{QStringLiteral("install"), source, applications()}}));
    EXPECT_EQ(readFile(destination + QStringLiteral("/Contents/Resources/data.txt")), "payload");
    EXPECT_FALSE(platform::files::fileExists(source));
    EXPECT_TRUE(platform::files::isDirectory(trashed(QStringLiteral("X.app"))));
    EXPECT_TRUE(log.contains(QStringLiteral("Moving myself to the Applications folder")));
    ASSERT_EQ(shellLines.size(), 1);
    EXPECT_EQ(shellLines.first(), PFRelaunchLine(::getpid(), destination));
    EXPECT_EQ(terminations, 1);
}

TEST_F(MoveToApplicationsFolderTest, EveryExistingEarlierCopyIsRemovedBeforeTheCopy)
{
    const QString source = runFrom(home.home() + QStringLiteral("/Downloads/X.app"));
    const QString destination = makeOldCopy(applications() + QStringLiteral("/X.app"));
    const QString userCopy = makeOldCopy(home.home() + QStringLiteral("/Applications/X-2.app"));
    const QString clientCopy = makeOldCopy(applications() + QStringLiteral("/X Client.app"));
    const QString foundCopy = makeOldCopy(applications() + QStringLiteral("/Utilities/Old Name.app"));
    PFAlsoRemoveBundles({foundCopy, QStringLiteral("~/Applications/X.app"), QStringLiteral("~/Applications/X-2.app"),
                         applications() + QStringLiteral("/X-1.app"), clientCopy, destination});
    // An earlier copy the user cannot write to forces the authorised move.
    if (!makeUnwritable(foundCopy))
        GTEST_SKIP() << "cannot make a folder unwritable here";
    authorization.handlers[QStringLiteral("remove")] = [](const QStringList& request) {
        runQuietly(QStringLiteral("chattr"), {QStringLiteral("-i"), request.at(1)});
        runQuietly(QStringLiteral("chmod"), {QStringLiteral("-R"), QStringLiteral("u+w"), request.at(1)});
        return QDir(request.at(1)).removeRecursively();
    };
    acceptMove();
    PFMove();

    const QString remove = QStringLiteral("remove");
    EXPECT_EQ(authorization.commands, (QList<QStringList>{{remove, destination},
                                                          {remove, foundCopy},
                                                          {remove, userCopy},
                                                          {remove, clientCopy},
                                                          {QStringLiteral("install"), source, applications()}}));
    // The one action asked for names what the move found, each as it was found, in the same order.
    ASSERT_EQ(authorization.actions.size(), 1);
    const platform::PrivilegedAction& action = authorization.actions.first();
    EXPECT_EQ(action.kind, platform::PrivilegedAction::Kind::Move);
    EXPECT_EQ(action.folder, applications());
    EXPECT_EQ(action.name, QStringLiteral("X.app"));
    QStringList listed;
    for (const auto& [path, identity] : action.removals) {
        listed.append(path);
        EXPECT_NE(identity.inode, 0u) << qPrintable(path);
    }
    EXPECT_EQ(listed, (QStringList{destination, foundCopy, userCopy, clientCopy}));
    EXPECT_EQ(readFile(destination + QStringLiteral("/Contents/Resources/data.txt")), "payload");
    for (const QString& path : {foundCopy, userCopy, clientCopy})
        EXPECT_FALSE(platform::files::fileExists(path)) << qPrintable(path);
    EXPECT_TRUE(log.contains(QStringLiteral("Removing \"%1\"").arg(userCopy)));
    EXPECT_EQ(terminations, 1);
}

TEST_F(MoveToApplicationsFolderTest, OnlyWholeBundlesBesideTheRunningCopyAreEverRemoved)
{
    const QString source = runFrom(home.home() + QStringLiteral("/Downloads/X.app"));
    const QString downloads = home.home() + QStringLiteral("/Downloads");
    writeFile(home.home() + QStringLiteral("/notes.txt"), "keep");
    makeOldCopy(home.home() + QStringLiteral("/relative.app"));
    PFAlsoRemoveBundles({downloads, QStringLiteral("relative.app"), home.home() + QStringLiteral("/notes.txt"),
                         applications() + QStringLiteral("/../Downloads/../home.app"), source});
    acceptMove();
    PFMove();

    ASSERT_EQ(authorization.commands.size(), 1);
    EXPECT_EQ(authorization.commands.first().first(), QStringLiteral("install"));
    EXPECT_TRUE(
        log.contains(QStringLiteral("Not removing \"%1\": not the full path of an application bundle").arg(downloads)));
    EXPECT_TRUE(log.contains(QStringLiteral("Not removing \"%1\": it holds the running application").arg(source)));
    EXPECT_EQ(readFile(home.home() + QStringLiteral("/notes.txt")), "keep");
}

// Without usable rights nothing is removed or installed and nothing relaunches;
// only a cancelled prompt ends without the failure alert. The rights install
// only into the real Applications folder: a system root taken from the
// environment (here the scratch one) cannot aim them elsewhere.
TEST_F(MoveToApplicationsFolderTest, WithoutUsableRightsNothingIsTouched)
{
    struct Case {
        const char* what;
        int32_t rights;
        QString rightsFolder;
        QString logged;
    };
    const QList<Case> cases{
        {"prompt cancelled",
         platform::errAuthorizationCanceled,
         {},
         QStringLiteral("Not moving because user canceled authorization")},
        {"rights denied", platform::errAuthorizationDenied, {}, QStringLiteral("Authorisation denied")},
        {"rights for another folder", platform::errAuthorizationSuccess, QStringLiteral("/Applications"),
         QStringLiteral("Not installing into \"%1\": only \"/Applications\" is written with administrator rights")
             .arg(applications())},
    };
    const QString source = runFrom(home.home() + QStringLiteral("/Downloads/X.app"));
    const QString earlier = makeOldCopy(applications() + QStringLiteral("/X-2.app"));
    PFAlsoRemoveBundles({earlier});
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        LogCapture caseLog;
        alerts.shown.clear();
        authorization.rightsStatus = test.rights;
        authorization.rightsFolder = test.rightsFolder;
        acceptMove();
        PFMove();

        EXPECT_TRUE(caseLog.contains(test.logged));
        const bool cancelled = test.rights == platform::errAuthorizationCanceled;
        EXPECT_EQ(failureAlertShown(), !cancelled);
        EXPECT_EQ(caseLog.contains(QStringLiteral("Could not copy myself to /Applications with authorization")), !cancelled);
        EXPECT_TRUE(authorization.commands.isEmpty());
        EXPECT_TRUE(platform::files::isDirectory(source));
        EXPECT_TRUE(platform::files::isDirectory(earlier + QStringLiteral("/Contents")));
        EXPECT_TRUE(shellLines.isEmpty());
        EXPECT_EQ(terminations, 0);
    }
}

TEST_F(MoveToApplicationsFolderTest, FailedRemovalNeverCopiesIntoTheOldCopy)
{
    runFrom(home.home() + QStringLiteral("/Downloads/X.app"));
    const QString destination = makeOldCopy(applications() + QStringLiteral("/X.app"));
    if (!makeUnwritable(applications()))
        GTEST_SKIP() << "cannot make a folder unwritable here";
    authorization.handlers[QStringLiteral("remove")] = [](const QStringList&) { return false; };
    acceptMove();
    PFMove();

    EXPECT_EQ(authorization.commands.size(), 1);
    EXPECT_FALSE(platform::files::fileExists(destination + QStringLiteral("/X.app")));
    EXPECT_TRUE(failureAlertShown());
}

TEST_F(MoveToApplicationsFolderTest, AuthorisedCopyFailingHalfWayLeavesTheRunningCopyAndNoHalfCopy)
{
    const QString source = runFrom(home.home() + QStringLiteral("/Downloads/X.app"));
    const QString destination = applications() + QStringLiteral("/X.app");
    const auto before = snapshot(source);
    authorization.handlers[QStringLiteral("install")] = [](const QStringList&) { return false; };
    acceptMove();
    PFMove();

    EXPECT_EQ(snapshot(source), before);
    EXPECT_FALSE(platform::files::fileExists(destination));
    EXPECT_TRUE(failureAlertShown());
    EXPECT_TRUE(shellLines.isEmpty());
    EXPECT_EQ(terminations, 0);
}

TEST_F(MoveToApplicationsFolderTest, PlainMoveTrashesOldCopiesCopiesAndTrashesTheSource)
{
    const QString source = runFrom(home.home() + QStringLiteral("/Downloads/X.app"));
    const QString destination = makeOldCopy(applications() + QStringLiteral("/X.app"));
    const QString earlier = makeOldCopy(applications() + QStringLiteral("/X-2.app"));
    PFAlsoRemoveBundles({earlier, applications() + QStringLiteral("/X-3.app")});
    acceptMove();
    PFMove();

    ASSERT_EQ(alerts.shown.size(), 1);
    EXPECT_EQ(alerts.shown.first().informativeText,
              QStringLiteral("I can move myself to the Applications folder if you'd like. ") + kDownloadsNote);
    EXPECT_TRUE(authorization.commands.isEmpty());
    EXPECT_EQ(readFile(destination + QStringLiteral("/Contents/Resources/data.txt")), "payload");
    EXPECT_FALSE(platform::files::fileExists(destination + QStringLiteral("/Contents/Resources/old.txt")));
    EXPECT_FALSE(platform::files::fileExists(earlier));
    EXPECT_FALSE(platform::files::fileExists(source));
    EXPECT_TRUE(platform::files::fileExists(trashed(QStringLiteral("X-2.app"))));
    // The old install went to the Trash too, beside the download (numbered by the Trash).
    EXPECT_EQ(QDir(trashed(QString())).entryList({QStringLiteral("X.app*")}, QDir::Dirs).size(), 2);
    EXPECT_TRUE(log.contains(QStringLiteral("Trashed \"%1\"").arg(source)));
    EXPECT_EQ(shellLines, QStringList{PFRelaunchLine(::getpid(), destination)});
    EXPECT_EQ(terminations, 1);
}

TEST_F(MoveToApplicationsFolderTest, PlainCopyFailingHalfWayLeavesTheRunningCopy)
{
    const QString source = runFrom(home.home() + QStringLiteral("/Downloads/X.app"));
    const QString destination = makeOldCopy(applications() + QStringLiteral("/X.app"));
    // A named pipe after the first files: the copy stops half way.
    const QString pipe = source + QStringLiteral("/Contents/Resources/zz-pipe");
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0644), 0);
    const auto before = snapshot(source);
    const auto installedBefore = snapshot(destination);
    acceptMove();
    PFMove();

    EXPECT_EQ(snapshot(source), before);
    // The copy comes first, so a failed one costs the installed copy nothing.
    EXPECT_EQ(snapshot(destination), installedBefore);
    EXPECT_EQ(QDir(applications()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral("X.app")});
    EXPECT_TRUE(failureAlertShown());
    EXPECT_TRUE(log.contains(QStringLiteral("Could not copy myself to %1").arg(destination)));
    EXPECT_TRUE(shellLines.isEmpty());
    EXPECT_EQ(terminations, 0);
}

TEST_F(MoveToApplicationsFolderTest, FromADiskImageSaysMoveKeepsTheSourceAndDetaches)
{
    const QString volume = home.systemRoot() + QStringLiteral("/Volumes/Quorbel Disk");
    const QString source = runFrom(volume + QStringLiteral("/Folder/X.app"));
    if (!makeUnwritable(source))
        GTEST_SKIP() << "cannot make a folder unwritable here";
    acceptMove();
    PFMove();

    ASSERT_FALSE(alerts.shown.isEmpty());
    EXPECT_EQ(alerts.shown.first().messageText, kMoveTitle);
    EXPECT_TRUE(platform::files::isDirectory(source));
    EXPECT_TRUE(platform::files::isDirectory(applications() + QStringLiteral("/X.app")));
    EXPECT_EQ(
        shellLines.join(u'\n').toStdString(),
        (PFRelaunchLine(::getpid(), applications() + QStringLiteral("/X.app")) + u'\n' + PFDetachLine(volume)).toStdString());
}

TEST_F(MoveToApplicationsFolderTest, UnwritableSourceElsewhereIsOfferedACopy)
{
    const QString source = runFrom(home.path(QStringLiteral("shared/X.app")));
    if (!makeUnwritable(source))
        GTEST_SKIP() << "cannot make a folder unwritable here";
    acceptMove();
    PFMove();

    ASSERT_FALSE(alerts.shown.isEmpty());
    EXPECT_EQ(alerts.shown.first().messageText, QStringLiteral("Copy to Applications folder?"));
    EXPECT_EQ(alerts.shown.first().buttonTitles.value(1), QStringLiteral("Do Not Copy"));
    EXPECT_TRUE(log.contains(QStringLiteral("No access to delete the app: %1. offering to copy it.").arg(source)));
    EXPECT_TRUE(log.contains(QStringLiteral("Warning! Could not delete application after moving it to Applications folder")));
    EXPECT_TRUE(platform::files::isDirectory(source));
    EXPECT_EQ(terminations, 1);
}

TEST_F(MoveToApplicationsFolderTest, Before10_6ThePlainMoveFailsWithoutTrashingAnything)
{
    platform::appkit::setVersionNumber(949.3);
    runFrom(home.home() + QStringLiteral("/Downloads/X.app"));
    const QString destination = makeOldCopy(applications() + QStringLiteral("/X.app"));
    acceptMove();
    PFMove();

    EXPECT_TRUE(platform::files::isDirectory(destination));
    EXPECT_TRUE(log.contains(QStringLiteral("Could not copy myself to %1").arg(destination)));
    EXPECT_TRUE(failureAlertShown());
}

TEST_F(MoveToApplicationsFolderTest, TheDownloadsNoteGoesWithEveryPathThatBeginsWithADownloadsFolder)
{
    const std::pair<const char*, bool> cases[] = {
        {"/Downloads/X.app", true}, {"/Downloads Old/X.app", true}, {"/Documents/X.app", false}};
    makeOldCopy(applications() + QStringLiteral("/X.app")); // writable: no administrator note
    for (const auto& [folder, noted] : cases) {
        SCOPED_TRACE(folder);
        alerts.shown.clear();
        runFrom(home.home() + QLatin1String(folder));
        PFMoveToApplicationsFolderIfNecessary();
        ASSERT_EQ(alerts.shown.size(), 1);
        EXPECT_EQ(alerts.shown.first().informativeText.endsWith(kDownloadsNote), noted);
    }
}

TEST_F(MoveToApplicationsFolderTest, Before10_5NoCheckboxAndDecliningIsFinal)
{
    platform::appkit::setVersionNumber(824);
    runFrom(home.path(QStringLiteral("elsewhere/Downloads/X.app")));
    makeOldCopy(applications() + QStringLiteral("/X.app"));
    PFMoveToApplicationsFolderIfNecessary();

    ASSERT_EQ(alerts.shown.size(), 1);
    EXPECT_FALSE(alerts.shown.first().showsSuppressionButton);
    EXPECT_TRUE(alerts.shown.first().informativeText.endsWith(kDownloadsNote));
    EXPECT_TRUE(
        platform::UserDefaults::standardUserDefaults().boolForKey(QStringLiteral("moveToApplicationsFolderAlertSuppress")));
}

TEST_F(MoveToApplicationsFolderTest, TheRunningCopyIsKnownThroughLinkedFolders)
{
    // ~/Applications is a link; the copy runs by its resolved path.
    const QString real = home.home() + QStringLiteral("/apps-real");
    QDir().mkpath(real);
    ASSERT_TRUE(QFile::link(real, home.home() + QStringLiteral("/Applications")));
    const QString source = runFrom(real + QStringLiteral("/X.app"));
    PFAlsoRemoveBundles({QStringLiteral("~/Applications/X.app")});
    acceptMove();
    PFMoveToApplicationsFolderIfNecessary();
    EXPECT_TRUE(alerts.shown.isEmpty());

    // Even when asked to move, the same bundle by its linked path is not an earlier copy.
    PFMove();
    EXPECT_TRUE(log.contains(QStringLiteral("Not removing \"%1\": it holds the running application")
                                 .arg(home.home() + QStringLiteral("/Applications/X.app"))));
    EXPECT_EQ(readFile(applications() + QStringLiteral("/X.app/Contents/Resources/data.txt")), "payload");
    EXPECT_TRUE(platform::files::isDirectory(trashed(QStringLiteral("X.app"))));
}

TEST_F(MoveToApplicationsFolderTest, EarlierCopiesInTheHomeFolderGoWhateverHomeLooksLike)
{
    struct Case {
        QByteArray home;
        bool removed;
    };
    const QByteArray exact = QFile::encodeName(home.home());
    const QByteArray unnamable = exact + "/caf\xe9";
    QDir().mkpath(QFile::decodeName(unnamable)); // "caf\uFFFD", which the bytes would stand for
    ::mkdir(unnamable.constData(), 0755);        // the home itself: as root, a $HOME that is not there is not taken
    for (const Case& test : {Case{exact + "/", true}, Case{exact + "//", true}, Case{unnamable, false}}) {
        ScopedEnvironment environment;
        environment.set("HOME", QString()); // restored afterwards
        qputenv("HOME", test.home);
        const QString target = platform::locations::homeFolder() + QStringLiteral("/Applications/X-2.app");
        runFrom(home.path(QStringLiteral("elsewhere/X.app")));
        makeOldCopy(applications() + QStringLiteral("/X.app")); // a writable destination: the plain move
        makeOldCopy(target);
        PFAlsoRemoveBundles({QStringLiteral("~/Applications/X-2.app")});
        LogCapture errors(0);
        acceptMove();
        PFMove();
        EXPECT_EQ(!platform::files::fileExists(target), test.removed) << test.home.constData();
        if (test.removed) {
            EXPECT_TRUE(errors.lines().isEmpty()) << qPrintable(errors.lines().join(u'\n'));
        } else {
            EXPECT_TRUE(errors.contains(
                QStringLiteral("Not removing \"~/Applications/X-2.app\": the home folder's path is not UTF-8")));
        }
        platform::files::removeItem(home.path(QStringLiteral("elsewhere")));
    }
}

// Root may write the destination, but the download and the folders on the way
// may be a user's: a root launcher installs only through the session's
// descriptor-based install, never by the path-string copy, and trashes the
// download only as the very folder that was started.
TEST_F(MoveToApplicationsFolderTest, ARootLauncherInstallsOnlyThroughTheSession)
{
    authorization.asRoot = true;
    const QString source = runFrom(home.home() + QStringLiteral("/Downloads/X.app"));
    const QString destination = makeOldCopy(applications() + QStringLiteral("/X.app"));
    acceptMove();
    PFMove();

    EXPECT_EQ(authorization.commands, (QList<QStringList>{{QStringLiteral("remove"), destination},
                                                          {QStringLiteral("install"), source, applications()}}));
    EXPECT_FALSE(alerts.shown.first().informativeText.contains(kAdminNote));
    // This test program is not the bundle it pretends to run: the download stays.
    EXPECT_TRUE(platform::files::isDirectory(source));
    EXPECT_TRUE(log.contains(QStringLiteral("Warning! Could not delete application after moving it to Applications folder")));
    EXPECT_EQ(terminations, 1);
}

TEST_F(MoveToApplicationsFolderTest, AnIncompleteCopyLeftByAnEndedMoveIsReplaced)
{
    const QString source = runFrom(home.home() + QStringLiteral("/Downloads/X.app"));
    const QString destination = makeOldCopy(applications() + QStringLiteral("/X.app"));
    const QString leftover = applications() + QStringLiteral("/.X.app.partial");
    writeFile(leftover + QStringLiteral("/Contents/Resources/locked/half"), "half");
    ::chmod(QFile::encodeName(leftover + QStringLiteral("/Contents/Resources/locked")).constData(), 0555);
    acceptMove();
    PFMove();

    EXPECT_EQ(readFile(destination + QStringLiteral("/Contents/Resources/data.txt")), "payload");
    EXPECT_FALSE(platform::files::fileExists(leftover));
    EXPECT_EQ(terminations, 1);
}

} // namespace
