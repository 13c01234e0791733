#pragma once
// The accounts set up on this machine and each account's settings, kept in
// the application's user defaults: "UserList" (records, the most recently
// saved last), "LastUsedUserName" (the selected user) and
// "PreviousAddUserName". Secrets stay out of the defaults: "Password" and
// "State" go to the keychain. Instances are cheap and share all their state
// through the defaults.
//
// Every change of the list is one read-modify-write of the defaults file
// under its cross-process lock, so concurrent savers (threads, processes,
// the background removal) never lose each other's records.

#include <QMutex>
#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <cstdint>
#include <functional>
#include <optional>

namespace platform {
class UserDefaults;
}

class UserManager {
public:
    // Over the standard user defaults.
    UserManager();
    explicit UserManager(platform::UserDefaults& defaults);

    // Records and the list.
    void load();
    void save();
    std::optional<QVariantList> userList() const; // none when absent or not an array
    QVariantMap userWithUserName(const QString& userName) const;
    static QVariantMap setupUserDefaults();
    void saveUser(const QVariantMap& user, const QString& userName, bool updateMono = true);
    // A null name only purges the records without a user name.
    void removeIncompleteUser(const QString& userName);
    // Removes the user on a detached thread and returns at once. `sender`,
    // when given, receives removeUserFinished() on the main thread; it must
    // declare it invokable (a slot or Q_INVOKABLE).
    void removeUser(const QString& userName, bool removeCache, QObject* sender);
    // The body of that thread's work; the request holds "username",
    // "removecache" and, when a sender was given, "sender".
    void removeUserAsync(const QVariantMap& request);
    bool doesUserKeyExists(const QString& userName) const;
    // Renames every record carrying this account number; always false.
    bool updateUserWithUsername(const QString& newUserName, int32_t accountId);
    QString lastUsedUserName() const; // never null
    void setLastUsedUserName(const QString& userName);
    QString previousAddUserName() const;
    void setPreviousAddUserName(const QString& userName);
    QString lastValidUser() const;
    void setLastValidUser(const QString& userName);

    // Values of one user.
    void setObject(const QVariant& value, const QString& key, const QString& userName, bool updateMono = true);
    QVariant objectForKey(const QString& key, const QString& userName) const;
    // Strings as stored; numbers as their decimal text; null otherwise.
    QString objectForKeyAsString(const QString& key, const QString& userName) const;
    int32_t objectForKeyAsInt(const QString& key, const QString& userName, int32_t defaultValue) const;
    int64_t objectForKeyAsLong(const QString& key, const QString& userName, int64_t defaultValue) const;
    QVariantList objectForKeyAsArray(const QString& key, const QString& userName) const;
    void removeObjectForKey(const QString& key, const QString& userName, bool updateMono = true);

    // The selected user: the one named by lastUsedUserName().
    QString selectedUserClientIdent() const;
    bool selectedUserHaveClientIdent() const;
    QString selectedUserCacheName() const;
    QString selectedUserCacheLocation() const;
    QString selectedUserCachePath() const;
    // CacheLocation/.QB/CacheName; null without a cache location or name.
    QString userCachePath(const QString& userName) const;
    bool selectedUserAllowSharing() const;
    bool selectedUserAllowBackup() const;
    bool selectedUserEnableBackup() const;
    bool selectedUserAllowQDrive() const;
    bool selectedUserEnableQDrive() const;
    bool selectedUserShowTeamFolders() const;
    bool selectedUserHasQDrive() const;
    bool selectedUserEncryptTransfers() const;
    bool selectedUserEncryptNewFiles() const;
    int32_t selectedUserAccountType() const;
    bool isShowingTeamFolders() const;
    bool isConsumerSharing() const;
    bool isBusinessSharing() const;
    bool isBusinessUser() const;
    bool isSimplifiedWelcome() const;
    bool ignoreServerExclusions() const;

private:
    void updateUserList(const std::function<void(QVariantList&)>& change, const QString& clearLastUsedIfNamed = {});
    QVariant storedValue(const QString& key, const QString& userName) const;
    int32_t selectedInt(const QString& key, int32_t defaultValue) const;
    void deleteCacheFolder(const QString& userName) const;

    platform::UserDefaults& m_defaults;
    mutable QMutex m_lastValidUserLock;
    QString m_lastValidUser;
};
