// The keychain over the Secret Service. glib's headers use "signals" as a
// field name, which Qt defines as a macro: include them first.
#undef signals
#include <libsecret/secret.h>

#include "Keychain.h"

#include <atomic>

namespace platform {
namespace {

const SecretSchema* genericPasswordSchema()
{
    static const SecretSchema schema = {
        "com.quorbel.GenericPassword",
        SECRET_SCHEMA_NONE,
        {
            {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
        },
    };
    return &schema;
}

// Owns one GError and turns it into a status.
class ErrorHolder {
public:
    ErrorHolder() = default;
    ErrorHolder(const ErrorHolder&) = delete;
    ErrorHolder& operator=(const ErrorHolder&) = delete;
    ~ErrorHolder()
    {
        if (m_error)
            g_error_free(m_error);
    }
    GError** out() { return &m_error; }
    bool isSet() const { return m_error != nullptr; }
    KeychainStatus status(KeychainStatus whenNoSuchObject = errSecItemNotFound) const;

private:
    GError* m_error = nullptr;
};

bool isBusUnreachable(const GError* error)
{
    if (error->domain == G_IO_ERROR)
        return error->code != G_IO_ERROR_CANCELLED;
    if (error->domain != G_DBUS_ERROR)
        return false;
    switch (error->code) {
    case G_DBUS_ERROR_SERVICE_UNKNOWN:
    case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
    case G_DBUS_ERROR_NO_SERVER:
    case G_DBUS_ERROR_NO_REPLY:
    case G_DBUS_ERROR_DISCONNECTED:
    case G_DBUS_ERROR_TIMEOUT:
    case G_DBUS_ERROR_TIMED_OUT:
    case G_DBUS_ERROR_SPAWN_EXEC_FAILED:
    case G_DBUS_ERROR_SPAWN_FORK_FAILED:
    case G_DBUS_ERROR_SPAWN_CHILD_EXITED:
    case G_DBUS_ERROR_SPAWN_CHILD_SIGNALED:
    case G_DBUS_ERROR_SPAWN_FAILED:
    case G_DBUS_ERROR_SPAWN_SERVICE_INVALID:
    case G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND:
        return true;
    default:
        return false;
    }
}

KeychainStatus ErrorHolder::status(KeychainStatus whenNoSuchObject) const
{
    if (!m_error)
        return errSecSuccess;
    if (isBusUnreachable(m_error))
        return errSecNotAvailable;
    if (m_error->domain == G_IO_ERROR && m_error->code == G_IO_ERROR_CANCELLED)
        return errSecAuthFailed;
    if (m_error->domain == SECRET_ERROR) {
        if (m_error->code == SECRET_ERROR_IS_LOCKED)
            return errSecInteractionNotAllowed;
        if (m_error->code == SECRET_ERROR_NO_SUCH_OBJECT)
            return whenNoSuchObject;
    }
    return errSecInternalComponent;
}

class SecretServiceItem final : public KeychainItem {
public:
    explicit SecretServiceItem(SecretItem* item) : m_item(item) {}
    ~SecretServiceItem() override { g_object_unref(m_item); }
    SecretItem* item() const { return m_item; }

private:
    SecretItem* m_item;
};

SecretItem* secretItemOf(const KeychainItem& item)
{
    return static_cast<const SecretServiceItem&>(item).item();
}

// A Secret Service attribute is a C string: text with a zero byte would be
// cut short and name another item.
bool isUsableAttribute(const QByteArray& text)
{
    return !text.contains('\0');
}

class SecretServiceKeychain final : public Keychain {
public:
    KeychainStatus findGenericPassword(const QByteArray& service, const QByteArray& account,
                                       std::unique_ptr<KeychainItem>* item) override;
    KeychainStatus copyData(const KeychainItem& item, QByteArray* data) override;
    KeychainStatus modifyData(const KeychainItem& item, const QByteArray& data) override;
    KeychainStatus addGenericPassword(const QByteArray& service, const QByteArray& account, const QByteArray& data) override;
    KeychainStatus deleteItem(const KeychainItem& item) override;
};

GHashTable* attributesFor(const QByteArray& service, const QByteArray& account)
{
    return secret_attributes_build(genericPasswordSchema(), "service", service.constData(), "account", account.constData(),
                                   nullptr);
}

SecretValue* secretValueOf(const QByteArray& data)
{
    return secret_value_new(data.constData(), data.size(), "text/plain");
}

KeychainStatus SecretServiceKeychain::findGenericPassword(const QByteArray& service, const QByteArray& account,
                                                          std::unique_ptr<KeychainItem>* item)
{
    if (!isUsableAttribute(service) || !isUsableAttribute(account))
        return errSecParam;
    ErrorHolder error;
    SecretService* secretService = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, error.out());
    if (!secretService)
        return errSecNotAvailable; // no bus, or nothing on it owns the Secret Service name
    GHashTable* attributes = attributesFor(service, account);
    GList* found = secret_service_search_sync(secretService, genericPasswordSchema(), attributes, SECRET_SEARCH_UNLOCK,
                                              nullptr, error.out());
    g_hash_table_unref(attributes);
    g_object_unref(secretService);
    if (error.isSet())
        return error.status();
    if (!found)
        return errSecItemNotFound;
    if (item)
        *item = std::make_unique<SecretServiceItem>(SECRET_ITEM(g_object_ref(found->data)));
    g_list_free_full(found, g_object_unref);
    return errSecSuccess;
}

KeychainStatus SecretServiceKeychain::copyData(const KeychainItem& item, QByteArray* data)
{
    SecretItem* secretItem = secretItemOf(item);
    if (secret_item_get_locked(secretItem))
        return errSecInteractionNotAllowed;
    ErrorHolder error;
    if (!secret_item_load_secret_sync(secretItem, nullptr, error.out()))
        return error.status();
    SecretValue* value = secret_item_get_secret(secretItem);
    if (!value)
        return errSecDecode;
    gsize length = 0;
    const gchar* bytes = secret_value_get(value, &length);
    if (data)
        *data = QByteArray(bytes, qsizetype(length));
    secret_value_unref(value);
    return errSecSuccess;
}

KeychainStatus SecretServiceKeychain::modifyData(const KeychainItem& item, const QByteArray& data)
{
    ErrorHolder error;
    SecretValue* value = secretValueOf(data);
    secret_item_set_secret_sync(secretItemOf(item), value, nullptr, error.out());
    secret_value_unref(value);
    return error.status();
}

KeychainStatus SecretServiceKeychain::addGenericPassword(const QByteArray& service, const QByteArray& account,
                                                         const QByteArray& data)
{
    if (!isUsableAttribute(service) || !isUsableAttribute(account))
        return errSecParam;
    ErrorHolder error;
    GHashTable* attributes = attributesFor(service, account);
    SecretValue* value = secretValueOf(data);
    // The Secret Service wants a label; the service name is what the user
    // would look for, as on systems where the label defaults to it.
    secret_password_storev_binary_sync(genericPasswordSchema(), attributes, SECRET_COLLECTION_DEFAULT, service.constData(),
                                       value, nullptr, error.out());
    secret_value_unref(value);
    g_hash_table_unref(attributes);
    return error.status(errSecNoDefaultKeychain);
}

KeychainStatus SecretServiceKeychain::deleteItem(const KeychainItem& item)
{
    ErrorHolder error;
    secret_item_delete_sync(secretItemOf(item), nullptr, error.out());
    return error.status();
}

std::atomic<Keychain*> gOverride{nullptr};

} // namespace

bool isTransientKeychainStatus(KeychainStatus status)
{
    return status == errSecNotAvailable || status == errSecAuthFailed || status == errSecInteractionNotAllowed;
}

Keychain& Keychain::shared()
{
    static SecretServiceKeychain system;
    Keychain* keychain = gOverride.load();
    return keychain ? *keychain : system;
}

void Keychain::setShared(Keychain* keychain)
{
    gOverride = keychain;
}

} // namespace platform
