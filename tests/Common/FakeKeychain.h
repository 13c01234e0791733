#pragma once
// An in-memory keychain for tests that need no Secret Service or must make
// one of its operations fail. Installs itself as the shared keychain for its
// lifetime.

#include "Keychain.h"

#include <QMutex>

#include <map>
#include <utility>

namespace testing_support {

class FakeKeychain final : public platform::Keychain {
public:
    using Key = std::pair<QByteArray, QByteArray>; // service, account

    FakeKeychain() { platform::Keychain::setShared(this); }
    ~FakeKeychain() override { platform::Keychain::setShared(nullptr); }

    // Statuses that the next operations of each kind answer (0: work normally).
    platform::KeychainStatus findStatus = platform::errSecSuccess;
    platform::KeychainStatus copyStatus = platform::errSecSuccess;
    platform::KeychainStatus writeStatus = platform::errSecSuccess;

    std::map<Key, QByteArray> items() const
    {
        QMutexLocker lock(&m_lock);
        return m_items;
    }
    void setItem(const QString& service, const QString& account, const QByteArray& data)
    {
        QMutexLocker lock(&m_lock);
        m_items[{service.toUtf8(), account.toUtf8()}] = data;
    }
    bool hasItem(const QString& service, const QString& account) const
    {
        QMutexLocker lock(&m_lock);
        return m_items.count({service.toUtf8(), account.toUtf8()}) > 0;
    }

    platform::KeychainStatus findGenericPassword(const QByteArray& service, const QByteArray& account,
                                                 std::unique_ptr<platform::KeychainItem>* item) override
    {
        QMutexLocker lock(&m_lock);
        if (findStatus != platform::errSecSuccess)
            return findStatus;
        if (!m_items.count({service, account}))
            return platform::errSecItemNotFound;
        if (item)
            *item = std::make_unique<Item>(Key{service, account});
        return platform::errSecSuccess;
    }
    platform::KeychainStatus copyData(const platform::KeychainItem& item, QByteArray* data) override
    {
        QMutexLocker lock(&m_lock);
        if (copyStatus != platform::errSecSuccess)
            return copyStatus;
        *data = m_items.at(keyOf(item));
        return platform::errSecSuccess;
    }
    platform::KeychainStatus modifyData(const platform::KeychainItem& item, const QByteArray& data) override
    {
        QMutexLocker lock(&m_lock);
        if (writeStatus != platform::errSecSuccess)
            return writeStatus;
        m_items[keyOf(item)] = data;
        return platform::errSecSuccess;
    }
    platform::KeychainStatus addGenericPassword(const QByteArray& service, const QByteArray& account,
                                                const QByteArray& data) override
    {
        QMutexLocker lock(&m_lock);
        if (writeStatus != platform::errSecSuccess)
            return writeStatus;
        m_items[{service, account}] = data;
        return platform::errSecSuccess;
    }
    platform::KeychainStatus deleteItem(const platform::KeychainItem& item) override
    {
        QMutexLocker lock(&m_lock);
        return m_items.erase(keyOf(item)) ? platform::errSecSuccess : platform::errSecItemNotFound;
    }

private:
    struct Item final : platform::KeychainItem {
        explicit Item(Key k) : key(std::move(k)) {}
        Key key;
    };
    static const Key& keyOf(const platform::KeychainItem& item) { return static_cast<const Item&>(item).key; }

    mutable QMutex m_lock;
    std::map<Key, QByteArray> m_items;
};

} // namespace testing_support
