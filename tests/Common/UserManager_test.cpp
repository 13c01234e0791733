#include "UserManager.h"

#include "FakeKeychain.h"
#include "KeyConstants.h"
#include "KeyringSupport.h"
#include "TestSupport.h"
#include "UserDefaults.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <thread>

namespace {

using platform::UserDefaults;

QVariantMap record(const QString& name, const QVariantMap& values = {})
{
    QVariantMap result = values;
    result.insert(kUserUserName, name);
    return result;
}

QStringList namesInList()
{
    QStringList names;
    for (const QVariant& entry : UserDefaults::standardUserDefaults().arrayForKey(kUserList))
        names.append(entry.toMap().value(kUserUserName).toString());
    return names;
}

class UserManagerTest : public ::testing::Test {
protected:
    void setList(const QVariantList& list) { ASSERT_TRUE(defaults().setObject(list, kUserList)); }
    UserDefaults& defaults() { return UserDefaults::standardUserDefaults(); }

    testing_support::ScratchHome m_home;
    testing_support::FakeKeychain m_keychain;
    testing_support::ScopedProductName m_product{QStringLiteral("Quorbel")};
    UserManager m_users;
};

TEST_F(UserManagerTest, AnUnknownUserReadsAsTheNewRecordDefaults)
{
    const QVariantMap expected{{"ConnectionSpeedDown", 512}, {"ConnectionSpeedUp", 64}, {"ConnectionCount", 4},
                               {"DownloadBandwidth", 100},   {"UploadBandwidth", 100},  {"EncryptTransfers", 1}};
    EXPECT_EQ(m_users.userWithUserName(QStringLiteral("nobody")), expected);
    EXPECT_EQ(UserManager::setupUserDefaults(), expected);
    EXPECT_FALSE(m_users.doesUserKeyExists(QStringLiteral("nobody")));
    EXPECT_FALSE(m_users.userList().has_value());
}

TEST_F(UserManagerTest, ConnectionCountAlwaysReadsAsOne)
{
    setList({record("ann", {{"ConnectionCount", 4}})});
    EXPECT_EQ(m_users.objectForKeyAsInt(kUserConnectionCount, "ann", 9), 1);
    EXPECT_EQ(m_users.objectForKeyAsLong(kUserConnectionCount, "ann", 9), 1);
    EXPECT_EQ(m_users.objectForKeyAsString(kUserConnectionCount, "ann"), QStringLiteral("1"));
    EXPECT_EQ(m_users.objectForKey(kUserConnectionCount, "ann"), QVariant(1));
}

TEST_F(UserManagerTest, TypedReadsFallBackToTheDefaultGiven)
{
    setList({record("ann", {{"Text", " 42abc"}, {"Real", 3.9}, {"List", QVariantList{1}}, {"Big", qint64(1) << 40}})});
    EXPECT_EQ(m_users.objectForKeyAsInt(kUserBrandID, "ann", -1), -1);
    EXPECT_EQ(m_users.objectForKeyAsInt("Text", "ann", -1), 42);
    EXPECT_EQ(m_users.objectForKeyAsInt("Real", "ann", -1), 3);
    EXPECT_EQ(m_users.objectForKeyAsInt("List", "ann", -1), -1);
    EXPECT_EQ(m_users.objectForKeyAsLong("Big", "ann", -1), qint64(1) << 40);
    EXPECT_EQ(m_users.objectForKeyAsString("Real", "ann"), QStringLiteral("3.9"));
    EXPECT_TRUE(m_users.objectForKeyAsString("List", "ann").isNull());
    EXPECT_EQ(m_users.objectForKeyAsArray("List", "ann"), (QVariantList{1}));
}

TEST_F(UserManagerTest, SavingAUserLeavesOneRecordAtTheEnd)
{
    setList({record("ann", {{"v", 1}}), record("bob"), record("ann", {{"v", 2}}), record("cy")});
    m_users.saveUser(record("ann", {{"v", 3}}), "ann");
    EXPECT_EQ(namesInList(), (QStringList{"bob", "cy", "ann"}));
    EXPECT_EQ(m_users.objectForKey("v", "ann"), QVariant(3));
}

TEST_F(UserManagerTest, StoringAValueForANewUserCreatesItsRecordFromTheDefaults)
{
    m_users.setObject(QStringLiteral("/caches"), kCacheLocation, "dee");
    QVariantMap expected = UserManager::setupUserDefaults();
    expected.insert(kCacheLocation, "/caches");
    expected.insert(kUserUserName, "dee");
    EXPECT_EQ(m_users.userWithUserName("dee"), expected);
    m_users.removeObjectForKey(kCacheLocation, "dee");
    EXPECT_FALSE(m_users.userWithUserName("dee").contains(kCacheLocation));
    EXPECT_TRUE(m_users.doesUserKeyExists("dee"));
}

TEST_F(UserManagerTest, PasswordAndStateGoToTheKeychainOnly)
{
    m_users.setObject(QStringLiteral("pw"), kUserPassword, "eve");
    m_users.setObject(QStringLiteral("key"), kUserEncryptionKey, "eve");
    EXPECT_FALSE(m_users.userList().has_value()) << "no record may be written";
    EXPECT_TRUE(m_keychain.hasItem("Quorbel", "eve"));
    EXPECT_EQ(m_users.objectForKey(kUserPassword, "eve"), QVariant(QStringLiteral("pw")));
    EXPECT_EQ(m_users.objectForKeyAsString(kUserEncryptionKey, "eve"), QStringLiteral("key"));
}

TEST_F(UserManagerTest, SelectedUserQuestions)
{
    setList({record("fay", {{"AllowBackup", 0},
                            {"EnableBackup", 1},
                            {"ShowTeamFolders", 2},
                            {"AccountType", 9},
                            {"ClientIdent", "c-1"},
                            {"EnableQDrive", 0}})});
    m_users.setLastUsedUserName("fay");
    EXPECT_FALSE(m_users.selectedUserEnableBackup());
    EXPECT_TRUE(m_users.isShowingTeamFolders());
    EXPECT_FALSE(m_users.selectedUserShowTeamFolders());
    EXPECT_TRUE(m_users.isBusinessSharing());
    EXPECT_FALSE(m_users.selectedUserHasQDrive());
    EXPECT_TRUE(m_users.isBusinessUser());
    EXPECT_TRUE(m_users.isSimplifiedWelcome());
    EXPECT_TRUE(m_users.selectedUserHaveClientIdent());
    EXPECT_FALSE(m_users.selectedUserEncryptTransfers()) << "a record without the key does not encrypt";
}

TEST_F(UserManagerTest, WithoutASelectedUserTheDefaultsAnswer)
{
    EXPECT_EQ(m_users.lastUsedUserName(), QStringLiteral(""));
    EXPECT_FALSE(m_users.lastUsedUserName().isNull());
    EXPECT_TRUE(m_users.selectedUserEncryptTransfers()) << "the new-record defaults encrypt transfers";
    EXPECT_EQ(m_users.selectedUserAccountType(), 10);
    EXPECT_TRUE(m_users.selectedUserAllowSharing());
    EXPECT_TRUE(m_users.selectedUserEnableBackup());
    EXPECT_TRUE(m_users.selectedUserHasQDrive());
    EXPECT_TRUE(m_users.isConsumerSharing());
    EXPECT_FALSE(m_users.selectedUserHaveClientIdent());
    EXPECT_TRUE(m_users.selectedUserCachePath().isNull());
    EXPECT_TRUE(m_users.previousAddUserName().isNull());
}

TEST_F(UserManagerTest, NamesOfTheLastUsedAndPreviouslyAddedUsers)
{
    m_users.setLastUsedUserName("gus");
    m_users.setPreviousAddUserName("hal");
    EXPECT_EQ(UserManager().lastValidUser(), QStringLiteral("gus"));
    EXPECT_EQ(m_users.previousAddUserName(), QStringLiteral("hal"));
    m_users.setLastUsedUserName(QString());
    m_users.setPreviousAddUserName(QString());
    EXPECT_FALSE(defaults().persistentDomain().contains(kLastUsedUserName));
    EXPECT_FALSE(defaults().persistentDomain().contains(kPreviousAddUserName));
}

TEST_F(UserManagerTest, RemovingIncompleteUsers)
{
    setList({record("ann"), QVariantMap{{"CacheName", "x"}}, record("bob")});
    m_users.setLastUsedUserName("bob");
    m_users.load();
    EXPECT_EQ(namesInList(), (QStringList{"ann", "bob"}));
    EXPECT_EQ(m_users.lastUsedUserName(), QStringLiteral("bob"));
    m_users.removeIncompleteUser("bob");
    EXPECT_EQ(namesInList(), (QStringList{"ann"}));
    EXPECT_EQ(m_users.lastUsedUserName(), QStringLiteral(""));
}

TEST_F(UserManagerTest, RenamingByAccountNumber)
{
    setList({record("old", {{"AccountId", 7}, {"k", "v"}}), record("other", {{"AccountId", "8"}}), record("noAccount")});
    EXPECT_FALSE(m_users.updateUserWithUsername("new", 99));
    EXPECT_EQ(namesInList(), (QStringList{"old", "other", "noAccount"}));

    EXPECT_FALSE(m_users.updateUserWithUsername("new", 7));
    EXPECT_EQ(namesInList(), (QStringList{"other", "noAccount", "new"}));
    EXPECT_EQ(m_users.objectForKey("k", "new"), QVariant(QStringLiteral("v")));

    // A record without an account number is nobody's account 0.
    m_users.updateUserWithUsername("zero", 0);
    EXPECT_EQ(namesInList(), (QStringList{"other", "noAccount", "new"}));
}

TEST_F(UserManagerTest, CachePaths)
{
    setList({record("ivy", {{"CacheLocation", "/data/"}, {"CacheName", "ivy-cache"}}),
             record("jo", {{"CacheName", "jo-cache"}})});
    EXPECT_EQ(m_users.userCachePath("ivy"), QStringLiteral("/data/.QB/ivy-cache"));
    EXPECT_TRUE(m_users.userCachePath("jo").isNull());
}

// Receives the completion of a background removal.
class RemovalReceiver : public QObject {
    Q_OBJECT
public:
    QThread* calledOn = nullptr;
    int calls = 0;
    Q_INVOKABLE void removeUserFinished()
    {
        calledOn = QThread::currentThread();
        ++calls;
        emit finished();
    }
signals:
    void finished();
};

bool waitFor(RemovalReceiver& receiver)
{
    QEventLoop loop;
    QObject::connect(&receiver, &RemovalReceiver::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    if (receiver.calls == 0)
        loop.exec();
    return receiver.calls == 1;
}

TEST_F(UserManagerTest, BackgroundRemovalReportsOnTheMainThread)
{
    const QString location = m_home.path("caches");
    ASSERT_TRUE(QDir().mkpath(location + "/.QB/kim-cache/sub"));
    ASSERT_TRUE(QDir().mkpath(location + "/.QB/lou-cache"));
    setList({record("kim", {{"CacheLocation", location}, {"CacheName", "kim-cache"}}),
             record("lou", {{"CacheLocation", location}, {"CacheName", "lou-cache"}})});
    m_users.setLastUsedUserName("kim");
    m_users.setObject(QStringLiteral("pw"), kUserPassword, "kim");

    RemovalReceiver receiver;
    m_users.removeUser("kim", true, &receiver);
    ASSERT_TRUE(waitFor(receiver));
    EXPECT_EQ(receiver.calledOn, QCoreApplication::instance()->thread());
    defaults().synchronize();
    EXPECT_EQ(namesInList(), (QStringList{"lou"}));
    EXPECT_EQ(m_users.lastUsedUserName(), QStringLiteral(""));
    EXPECT_FALSE(QFileInfo::exists(location + "/.QB/kim-cache"));
    EXPECT_TRUE(QFileInfo::exists(location + "/.QB/lou-cache"));
    EXPECT_TRUE(m_keychain.hasItem("Quorbel", "kim")) << "the keychain item is not touched";
}

TEST_F(UserManagerTest, RemovalNeverDeletesMoreThanTheUsersOwnCacheFolder)
{
    const QString location = m_home.path("caches");
    ASSERT_TRUE(testing_support::writeFile(location + "/.QB/other-user/data", "keep"));
    setList({record("max", {{"CacheLocation", location}, {"CacheName", ".."}})});
    RemovalReceiver receiver;
    m_users.removeUser("max", true, &receiver);
    ASSERT_TRUE(waitFor(receiver));
    EXPECT_TRUE(QFileInfo::exists(location + "/.QB/other-user/data"));
    defaults().synchronize();
    EXPECT_TRUE(namesInList().isEmpty()) << "the record goes all the same";
}

TEST_F(UserManagerTest, ARequestBuiltByTheCallerAlsoReportsBack)
{
    setList({record("ned")});
    RemovalReceiver receiver;
    m_users.removeUserAsync(
        {{kUserName, "ned"}, {"removecache", false}, {"sender", QVariant::fromValue<QObject*>(&receiver)}});
    ASSERT_TRUE(waitFor(receiver));
    EXPECT_TRUE(namesInList().isEmpty());
}

TEST_F(UserManagerTest, SavesOnOtherThreadsDuringARemovalAreKept)
{
    setList({record("gone")});
    RemovalReceiver receiver;
    auto saveUsers = [](const QString& prefix) {
        UserManager users;
        for (int i = 0; i < 25; ++i)
            users.setObject(i, "Index", prefix + QString::number(i));
    };
    std::thread first(saveUsers, QStringLiteral("a"));
    m_users.removeUser("gone", false, &receiver);
    std::thread second(saveUsers, QStringLiteral("b"));
    first.join();
    second.join();
    ASSERT_TRUE(waitFor(receiver));
    defaults().synchronize();
    const QStringList names = namesInList();
    EXPECT_EQ(names.size(), 50);
    EXPECT_FALSE(names.contains("gone"));
    for (int i = 0; i < 25; ++i) {
        EXPECT_TRUE(names.contains("a" + QString::number(i)));
        EXPECT_TRUE(names.contains("b" + QString::number(i)));
    }
}

// The second saver is a copy of this test program running this same test.
TEST(UserManagerProcesses, TwoProcessesSavingUsersLoseNone)
{
    const QString childFile = qEnvironmentVariable("QB_USERS_WRITER_FILE");
    auto saveUsers = [](UserDefaults& defaults, const QString& prefix) {
        UserManager users(defaults);
        for (int i = 0; i < 40; ++i)
            users.setObject(i, "Index", prefix + QString::number(i));
    };
    if (!childFile.isEmpty()) {
        UserDefaults defaults(childFile);
        saveUsers(defaults, "child");
        return;
    }
    testing_support::ScratchHome home;
    const QString path = home.path("config/users.plist");
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QB_USERS_WRITER_FILE", path);
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {"--gtest_filter=UserManagerProcesses.TwoProcessesSavingUsersLoseNone"});
    ASSERT_TRUE(child.waitForStarted());
    for (int i = 0; i < 2000 && !UserDefaults(path).persistentDomain().contains(kUserList); ++i)
        QThread::msleep(5);
    UserDefaults defaults(path);
    saveUsers(defaults, "parent");
    ASSERT_TRUE(child.waitForFinished(120000));
    const QString output = QString::fromUtf8(child.readAll());
    ASSERT_EQ(child.exitCode(), 0) << output.toStdString();
    ASSERT_TRUE(output.contains("[  PASSED  ] 1 test.")) << output.toStdString();

    const QVariantList list = UserDefaults(path).arrayForKey(kUserList);
    QStringList names;
    for (const QVariant& entry : list)
        names.append(entry.toMap().value(kUserUserName).toString());
    EXPECT_EQ(names.size(), 80);
    for (int i = 0; i < 40; ++i) {
        EXPECT_TRUE(names.contains("parent" + QString::number(i)));
        EXPECT_TRUE(names.contains("child" + QString::number(i)));
    }
}

} // namespace

#include "UserManager_test.moc"
