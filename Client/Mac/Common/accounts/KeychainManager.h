#pragma once
// Each user's secrets in one generic-password item of the keychain (service:
// the product name, account: the user name) whose data is a JSON record:
// "password", "keepSignedIn", "skipAuth", "encryptionKey" and any number of
// further boolean flags. Every writer reads the record, changes its own
// entries and writes the whole record back, so the entries of one operation
// survive the others.

#include "Keychain.h"

#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <cstdint>
#include <optional>

class KeychainManager {
public:
    static KeychainManager& sharedManager();

    // Low-level operations; statuses are the keychain's (0 success, -25300
    // no such item). `data` is a byte array or a string.
    int32_t secKeychainModifyOrAddGenericPassword(const QVariant& data, const QString& userName, const QString& serviceName);
    int32_t secKeychainModifyOrAddGenericPassword(const QVariant& data, const QString& userName);
    // Stores the item's text in `*result` only when `result` is given and
    // still null.
    int32_t secKeychainFindGenericPassword(QString* result, const QString& userName, const QString& serviceName);
    int32_t secKeychainFindGenericPassword(QString* result, const QString& userName);
    // True when an item was found and deleted; at most one item per call.
    bool secKeychainRemoveAllItemsWithUserName(const QString& userName, const QString& serviceName);
    bool secKeychainRemoveAllItemsWithUserName(const QString& userName);
    // The localised product name.
    QString serviceName() const;

    bool savePassword(const QString& password, const QString& userName, const bool* keepLoggedin);
    QString getPasswordForUser(const QString& userName, bool* keepLoggedin);
    bool removePassword(const QString& userName);

    bool skipAuthForUser(const QString& userName);
    void setSkipAuth(bool skipAuth, const QString& userName);
    void removeSkipAuthForUser(const QString& userName);

    bool flagExistsForKey(const QString& key, const QString& userName);
    bool flagForKey(const QString& key, const QString& userName);
    void setFlag(bool flag, const QString& key, const QString& userName);
    void removeFlagForKey(const QString& key, const QString& userName);

    bool saveEncryptionKey(const QVariant& encryptionKey, const QString& userName);
    QVariant getEncryptionKeyForUser(const QString& userName);

    // Base64 (standard alphabet, padded, no line breaks); no secrecy.
    static QString encryptString(const QString& text);
    // Null when the decoded bytes are not UTF-8.
    static QString decryptString(const QString& text);

private:
    KeychainManager() = default;

    // The item's text under `serviceName`; null when there is none.
    QString readItemText(const QString& userName);
    // The parsed record of a non-empty item text, when it has entries.
    std::optional<QVariantMap> readRecord(const QString& userName);
    QString moveItemFromFixedService(const QString& userName);
    QString convertBarePassword(const QString& text, const QString& userName, QVariantMap* record);
    int32_t writeRecord(const QVariantMap& record, const QString& userName);
    void setBooleanEntry(const QString& key, bool value, const QString& userName);
    void removeEntry(const QString& key, const QString& userName);
};
