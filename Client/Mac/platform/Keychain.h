#pragma once
// Generic-password items keyed by service and account, the user's store of
// secrets. The Linux service keeps them in the Secret Service (libsecret),
// each item carrying the two attributes "service" and "account" and the data
// as its secret. Tests may replace the shared service with a fake.

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>

namespace platform {

using KeychainStatus = int32_t;
constexpr KeychainStatus errSecSuccess = 0;
constexpr KeychainStatus errSecParam = -50;           // a service or account that cannot be an attribute
constexpr KeychainStatus errSecNotAvailable = -25291; // no Secret Service answers on the session bus
constexpr KeychainStatus errSecAuthFailed = -25293;   // the user refused to unlock the keyring
constexpr KeychainStatus errSecItemNotFound = -25300;
constexpr KeychainStatus errSecNoDefaultKeychain = -25307;     // no default collection to add items to
constexpr KeychainStatus errSecInteractionNotAllowed = -25308; // the keyring stays locked
constexpr KeychainStatus errSecDecode = -26275;                // the item's data cannot be read as stored
constexpr KeychainStatus errSecInternalComponent = -2070;      // any other failure of the service

// Failures that say nothing about the item itself: the service was absent,
// locked or refused. Callers never give up an item because of one of these.
bool isTransientKeychainStatus(KeychainStatus status);

// One item found by a search; keeps what the service needs to reach it again.
class KeychainItem {
public:
    virtual ~KeychainItem() = default;
};

class Keychain {
public:
    virtual ~Keychain() = default;

    // Searches the default search list for the item (service, account);
    // `item` may be null when only the status is wanted.
    virtual KeychainStatus findGenericPassword(const QByteArray& service, const QByteArray& account,
                                               std::unique_ptr<KeychainItem>* item)
        = 0;
    virtual KeychainStatus copyData(const KeychainItem& item, QByteArray* data) = 0;
    // Replaces the item's data; its attributes stay.
    virtual KeychainStatus modifyData(const KeychainItem& item, const QByteArray& data) = 0;
    // Adds a new item to the user's default keychain.
    virtual KeychainStatus addGenericPassword(const QByteArray& service, const QByteArray& account, const QByteArray& data) = 0;
    virtual KeychainStatus deleteItem(const KeychainItem& item) = 0;

    // The service in use: the system's, unless a test installed another.
    static Keychain& shared();
    static void setShared(Keychain* keychain); // nullptr restores the system's
};

} // namespace platform
