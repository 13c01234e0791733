#include "UserManager.h"

#include "FileManager.h"
#include "Format.h"
#include "KeyConstants.h"
#include "KeychainManager.h"
#include "Logging.h"
#include "UserDefaults.h"

#include <QCoreApplication>
#include <QPointer>

#include <cmath>
#include <limits>
#include <system_error>
#include <thread>

namespace {

const QString kRemoveCacheRequestKey = QStringLiteral("removecache");
const QString kSenderRequestKey = QStringLiteral("sender");
const QString kCacheFolderComponent = QStringLiteral(".QB");

QString emptyString()
{
    return QString::fromLatin1("", 0); // empty, not null
}

// The platform's longLongValue: leading blanks, an optional sign, decimal
// digits up to the first other character; saturates at the 64-bit limits.
int64_t longLongValue(QStringView text)
{
    qsizetype i = 0;
    while (i < text.size() && text[i].isSpace())
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+'))
        negative = text[i++] == u'-';
    uint64_t magnitude = 0;
    const uint64_t limit = negative ? uint64_t(std::numeric_limits<int64_t>::max()) + 1
                                    : uint64_t(std::numeric_limits<int64_t>::max());
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        const unsigned digit = text[i].unicode() - u'0';
        magnitude = (magnitude > (limit - digit) / 10) ? limit : magnitude * 10 + digit;
    }
    return negative ? int64_t(0 - magnitude) : int64_t(magnitude);
}

template <typename Integer>
Integer integerOfDouble(double value)
{
    if (std::isnan(value))
        return 0;
    if (value <= double(std::numeric_limits<Integer>::min()))
        return std::numeric_limits<Integer>::min();
    if (value >= double(std::numeric_limits<Integer>::max()))
        return std::numeric_limits<Integer>::max();
    return Integer(value);
}

bool isIntegerNumber(int typeId)
{
    switch (typeId) {
    case QMetaType::Bool:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return true;
    default:
        return false;
    }
}

bool isRealNumber(int typeId)
{
    return typeId == QMetaType::Double || typeId == QMetaType::Float;
}

// A number or a string read as an integer; nothing for any other value.
std::optional<int64_t> int64Of(const QVariant& value)
{
    const int typeId = value.typeId();
    if (typeId == QMetaType::QString)
        return longLongValue(value.toString());
    if (isIntegerNumber(typeId))
        return value.toLongLong();
    if (isRealNumber(typeId))
        return integerOfDouble<int64_t>(value.toDouble());
    return std::nullopt;
}

std::optional<int32_t> int32Of(const QVariant& value)
{
    const int typeId = value.typeId();
    if (typeId == QMetaType::QString)
        return intValue(value.toString());
    if (isIntegerNumber(typeId))
        return int32_t(value.toLongLong()); // the low 32 bits, as a number's intValue
    if (isRealNumber(typeId))
        return integerOfDouble<int32_t>(value.toDouble());
    return std::nullopt;
}

bool isRecordOf(const QVariant& record, const QString& userName)
{
    if (userName.isNull() || record.typeId() != QMetaType::QVariantMap)
        return false;
    const QVariant name = record.toMap().value(kUserUserName);
    return name.typeId() == QMetaType::QString && name.toString() == userName;
}

bool hasUserName(const QVariant& record)
{
    return record.typeId() == QMetaType::QVariantMap && record.toMap().value(kUserUserName).isValid();
}

std::optional<QVariantMap> findRecord(const QVariantList& list, const QString& userName)
{
    for (const QVariant& record : list) {
        if (isRecordOf(record, userName))
            return record.toMap();
    }
    return std::nullopt;
}

// The user's records give way to `record`, which goes to the end.
void replaceRecord(QVariantList& list, const QVariantMap& record, const QString& userName)
{
    list.removeIf([&](const QVariant& entry) { return isRecordOf(entry, userName); });
    list.append(record);
}

QVariantList listIn(const QVariantMap& domain)
{
    const QVariant list = domain.value(kUserList);
    return list.typeId() == QMetaType::QVariantList ? list.toList() : QVariantList();
}

QString appendingPathComponent(QString path, const QString& component)
{
    while (path.size() > 1 && path.endsWith(u'/'))
        path.chop(1);
    return path.endsWith(u'/') ? path + component : path + u'/' + component;
}

// A cache folder name must name one folder inside the cache location: an
// empty name, "." or ".." or one with a slash would make the removal delete
// far more than the user's cache.
bool isSingleFolderName(const QString& name)
{
    return !name.isEmpty() && name != u"." && name != u".." && !name.contains(u'/');
}

// The sender as the request holds it: guarded by removeUser(), or plain
// when a caller built the request itself.
QPointer<QObject> senderOf(const QVariant& senderValue)
{
    if (senderValue.metaType() == QMetaType::fromType<QObject*>())
        return senderValue.value<QObject*>();
    return senderValue.value<QPointer<QObject>>();
}

void deliverRemoveUserFinished(const QVariant& senderValue)
{
    const QPointer<QObject> sender = senderOf(senderValue);
    QObject* application = QCoreApplication::instance();
    if (!application) {
        logError("No main thread to tell that the user removal finished");
        return;
    }
    QMetaObject::invokeMethod(
        application,
        [sender] {
            if (sender && !QMetaObject::invokeMethod(sender.data(), "removeUserFinished", Qt::DirectConnection))
                logError("The sender of a user removal does not answer removeUserFinished");
        },
        Qt::QueuedConnection);
}

} // namespace

UserManager::UserManager() : UserManager(platform::UserDefaults::standardUserDefaults()) {}

UserManager::UserManager(platform::UserDefaults& defaults) : m_defaults(defaults)
{
    m_lastValidUser = lastUsedUserName();
}

// --- Records and the list ------------------------------------------------

void UserManager::load()
{
    removeIncompleteUser(QString());
}

void UserManager::save()
{
    m_defaults.synchronize();
}

std::optional<QVariantList> UserManager::userList() const
{
    const QVariant list = m_defaults.objectForKey(kUserList);
    if (list.typeId() != QMetaType::QVariantList)
        return std::nullopt;
    return list.toList();
}

QVariantMap UserManager::userWithUserName(const QString& userName) const
{
    if (const std::optional<QVariantList> list = userList()) {
        if (std::optional<QVariantMap> record = findRecord(*list, userName))
            return *record;
    }
    return setupUserDefaults();
}

QVariantMap UserManager::setupUserDefaults()
{
    return QVariantMap{
        {kUserConnectionSpeedDown, 512}, {kUserConnectionSpeedUp, 64}, {kUserConnectionCount, 4},
        {kUserDownloadBandwidth, 100},   {kUserUploadBandwidth, 100},  {kUserEncryptTransfers, 1},
    };
}

// One read-modify-write of the list under the defaults' cross-process lock;
// the list is read from the file inside the lock, never from an older copy.
void UserManager::updateUserList(const std::function<void(QVariantList&)>& change, const QString& clearLastUsedIfNamed)
{
    const bool saved = m_defaults.update([&](QVariantMap& domain) {
        QVariantList list = listIn(domain);
        change(list);
        domain.insert(kUserList, list);
        if (!clearLastUsedIfNamed.isNull() && domain.value(kLastUsedUserName).toString() == clearLastUsedIfNamed)
            domain.remove(kLastUsedUserName);
    });
    if (!saved)
        logError("Cannot save the user list (%1)", m_defaults.lastError());
    save();
}

void UserManager::saveUser(const QVariantMap& user, const QString& userName, bool /*updateMono*/)
{
    updateUserList([&](QVariantList& list) { replaceRecord(list, user, userName); });
}

void UserManager::removeIncompleteUser(const QString& userName)
{
    updateUserList(
        [&](QVariantList& list) {
            list.removeIf([&](const QVariant& record) { return !hasUserName(record) || isRecordOf(record, userName); });
        },
        userName);
}

void UserManager::removeUser(const QString& userName, bool removeCache, QObject* sender)
{
    QVariantMap request{{kUserName, userName}, {kRemoveCacheRequestKey, removeCache}};
    if (sender)
        request.insert(kSenderRequestKey, QVariant::fromValue(QPointer<QObject>(sender)));
    platform::UserDefaults* defaults = &m_defaults;
    // The thread has its own manager: this one may be gone before it ends.
    try {
        std::thread([defaults, request] { UserManager(*defaults).removeUserAsync(request); }).detach();
    } catch (const std::system_error& error) {
        logError("Cannot start a thread to remove the user \"%1\" (%2); removing it now", userName, error.what());
        removeUserAsync(request);
    }
}

void UserManager::removeUserAsync(const QVariantMap& request)
{
    const QString userName = request.value(kUserName).toString();
    if (request.value(kRemoveCacheRequestKey).toBool())
        deleteCacheFolder(userName);
    updateUserList([&](QVariantList& list) { list.removeIf([&](const QVariant& r) { return isRecordOf(r, userName); }); },
                   userName);
    logNormal("Removed the user \"%1\"", userName);
    if (request.contains(kSenderRequestKey))
        deliverRemoveUserFinished(request.value(kSenderRequestKey));
}

void UserManager::deleteCacheFolder(const QString& userName) const
{
    const QString cachePath = userCachePath(userName);
    if (cachePath.isNull())
        return;
    if (!isSingleFolderName(userWithUserName(userName).value(kUserCacheName).toString())) {
        logError("Not removing the cache \"%1\" of \"%2\": its name is not a single folder", cachePath, userName);
        return;
    }
    QString error;
    if (platform::files::fileExists(cachePath) && !platform::files::removeItem(cachePath, &error))
        logNormal("Could not remove the cache of \"%1\" (%2)", userName, error);
}

bool UserManager::doesUserKeyExists(const QString& userName) const
{
    const std::optional<QVariantList> list = userList();
    return list && findRecord(*list, userName).has_value();
}

// Only records that carry an account number take part: a record without one
// is not the account of any number.
bool UserManager::updateUserWithUsername(const QString& newUserName, int32_t accountId)
{
    updateUserList([&](QVariantList& list) {
        const QVariantList before = list;
        for (const QVariant& entry : before) {
            if (entry.typeId() != QMetaType::QVariantMap)
                continue;
            QVariantMap record = entry.toMap();
            const std::optional<int32_t> recordAccount = int32Of(record.value(kAccountId));
            if (!recordAccount || *recordAccount != accountId)
                continue;
            const QVariant oldName = record.value(kUserUserName);
            record.insert(kUserUserName, newUserName);
            replaceRecord(list, record, oldName.typeId() == QMetaType::QString ? oldName.toString() : QString());
        }
    });
    return false;
}

QString UserManager::lastUsedUserName() const
{
    const QVariant name = m_defaults.objectForKey(kLastUsedUserName);
    return name.typeId() == QMetaType::QString ? name.toString() : emptyString();
}

void UserManager::setLastUsedUserName(const QString& userName)
{
    if (userName.isNull())
        m_defaults.removeObjectForKey(kLastUsedUserName);
    else
        m_defaults.setObject(userName, kLastUsedUserName);
}

QString UserManager::previousAddUserName() const
{
    const QVariant name = m_defaults.objectForKey(kPreviousAddUserName);
    return name.typeId() == QMetaType::QString ? name.toString() : QString();
}

void UserManager::setPreviousAddUserName(const QString& userName)
{
    if (userName.isNull())
        m_defaults.removeObjectForKey(kPreviousAddUserName);
    else
        m_defaults.setObject(userName, kPreviousAddUserName);
}

QString UserManager::lastValidUser() const
{
    QMutexLocker lock(&m_lastValidUserLock);
    return m_lastValidUser;
}

void UserManager::setLastValidUser(const QString& userName)
{
    QMutexLocker lock(&m_lastValidUserLock);
    m_lastValidUser = userName;
}

// --- Values of one user ---------------------------------------------------

void UserManager::setObject(const QVariant& value, const QString& key, const QString& userName, bool /*updateMono*/)
{
    if (key == kUserPassword) {
        KeychainManager::sharedManager().savePassword(value.toString(), userName, nullptr);
        return;
    }
    if (key == kUserEncryptionKey) {
        KeychainManager::sharedManager().saveEncryptionKey(value, userName);
        return;
    }
    updateUserList([&](QVariantList& list) {
        QVariantMap record = findRecord(list, userName).value_or(setupUserDefaults());
        record.insert(key, value);
        record.insert(kUserUserName, userName);
        replaceRecord(list, record, userName);
    });
}

void UserManager::removeObjectForKey(const QString& key, const QString& userName, bool /*updateMono*/)
{
    updateUserList([&](QVariantList& list) {
        QVariantMap record = findRecord(list, userName).value_or(setupUserDefaults());
        record.remove(key);
        replaceRecord(list, record, userName);
    });
}

QVariant UserManager::storedValue(const QString& key, const QString& userName) const
{
    return userWithUserName(userName).value(key);
}

QVariant UserManager::objectForKey(const QString& key, const QString& userName) const
{
    if (key == kUserPassword)
        return KeychainManager::sharedManager().getPasswordForUser(userName, nullptr);
    if (key == kUserEncryptionKey)
        return KeychainManager::sharedManager().getEncryptionKeyForUser(userName);
    if (key == kUserConnectionCount)
        return 1;
    return storedValue(key, userName);
}

QString UserManager::objectForKeyAsString(const QString& key, const QString& userName) const
{
    if (key == kUserConnectionCount)
        return QStringLiteral("1");
    const QVariant value = objectForKey(key, userName);
    if (value.typeId() == QMetaType::QString)
        return value.toString();
    if (isIntegerNumber(value.typeId()) || isRealNumber(value.typeId()))
        return value.toString();
    return {};
}

int32_t UserManager::objectForKeyAsInt(const QString& key, const QString& userName, int32_t defaultValue) const
{
    if (key == kUserConnectionCount)
        return 1;
    return int32Of(storedValue(key, userName)).value_or(defaultValue);
}

int64_t UserManager::objectForKeyAsLong(const QString& key, const QString& userName, int64_t defaultValue) const
{
    if (key == kUserConnectionCount)
        return 1;
    return int64Of(storedValue(key, userName)).value_or(defaultValue);
}

QVariantList UserManager::objectForKeyAsArray(const QString& key, const QString& userName) const
{
    const QVariant value = objectForKey(key, userName);
    return value.typeId() == QMetaType::QVariantList ? value.toList() : QVariantList();
}

// --- The selected user ------------------------------------------------------

int32_t UserManager::selectedInt(const QString& key, int32_t defaultValue) const
{
    return objectForKeyAsInt(key, lastUsedUserName(), defaultValue);
}

QString UserManager::selectedUserClientIdent() const
{
    return objectForKeyAsString(kUserClientIdent, lastUsedUserName());
}

bool UserManager::selectedUserHaveClientIdent() const
{
    return !selectedUserClientIdent().isEmpty();
}

QString UserManager::selectedUserCacheName() const
{
    return objectForKeyAsString(kUserCacheName, lastUsedUserName());
}

QString UserManager::selectedUserCacheLocation() const
{
    return objectForKeyAsString(kCacheLocation, lastUsedUserName());
}

QString UserManager::selectedUserCachePath() const
{
    return userCachePath(lastUsedUserName());
}

QString UserManager::userCachePath(const QString& userName) const
{
    const QVariantMap record = userWithUserName(userName);
    const QString location = record.value(kCacheLocation).toString();
    const QString cacheName = record.value(kUserCacheName).toString();
    if (location.isEmpty() || cacheName.isEmpty())
        return {};
    return appendingPathComponent(appendingPathComponent(location, kCacheFolderComponent), cacheName);
}

bool UserManager::selectedUserAllowSharing() const
{
    return selectedInt(kUserAllowSharing, 1) == 1;
}
bool UserManager::selectedUserAllowBackup() const
{
    return selectedInt(kUserAllowBackup, 1) == 1;
}
bool UserManager::selectedUserEnableBackup() const
{
    return selectedUserAllowBackup() && selectedInt(kUserEnableBackup, 1) == 1;
}
bool UserManager::selectedUserAllowQDrive() const
{
    return selectedInt(kUserAllowQDrive, 1) == 1;
}
bool UserManager::selectedUserEnableQDrive() const
{
    return selectedUserAllowQDrive() && selectedInt(kUserEnableQDrive, 1) == 1;
}
bool UserManager::selectedUserShowTeamFolders() const
{
    return selectedInt(kUserShowTeamFolders, 0) == 1;
}
bool UserManager::selectedUserHasQDrive() const
{
    return selectedUserEnableQDrive() || selectedUserShowTeamFolders();
}
bool UserManager::selectedUserEncryptTransfers() const
{
    return selectedInt(kUserEncryptTransfers, 0) == 1;
}
bool UserManager::selectedUserEncryptNewFiles() const
{
    return selectedInt(kUserEncryptNewFiles, 0) == 1;
}
int32_t UserManager::selectedUserAccountType() const
{
    return selectedInt(kUserAccountType, 10);
}
bool UserManager::isShowingTeamFolders() const
{
    return selectedInt(kUserShowTeamFolders, 0) != 0;
}
bool UserManager::isConsumerSharing() const
{
    return !isShowingTeamFolders();
}
bool UserManager::isBusinessSharing() const
{
    return !isConsumerSharing();
}
bool UserManager::isBusinessUser() const
{
    return selectedUserAccountType() == 9;
}
bool UserManager::isSimplifiedWelcome() const
{
    return isShowingTeamFolders() || selectedUserAccountType() == 9;
}
bool UserManager::ignoreServerExclusions() const
{
    return selectedInt(kIgnoreServerExclusions, 0) != 0;
}
