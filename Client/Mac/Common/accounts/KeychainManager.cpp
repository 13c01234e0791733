#include "KeychainManager.h"

#include "JSONEncoder.h"
#include "LocalizedString.h"
#include "Logging.h"
#include "ProcessInfo.h"

#include <QMutex>
#include <QStringDecoder>

#include <openssl/bio.h>
#include <openssl/evp.h>

#include <climits>
#include <memory>

namespace {

const QString kFixedServiceName = QStringLiteral("Quorbel");
const QString kPasswordEntry = QStringLiteral("password");
const QString kKeepSignedInEntry = QStringLiteral("keepSignedIn");
const QString kSkipAuthEntry = QStringLiteral("skipAuth");
const QString kEncryptionKeyEntry = QStringLiteral("encryptionKey");

// Serialises the read-modify-write sequences of this process, so that two
// threads changing one user's record do not lose each other's entries.
QRecursiveMutex gRecordLock;

bool isNullData(const QVariant& data)
{
    if (!data.isValid())
        return true;
    if (data.typeId() == QMetaType::QString)
        return data.toString().isNull();
    if (data.typeId() == QMetaType::QByteArray)
        return data.toByteArray().isNull();
    return false;
}

QByteArray bytesOfData(const QVariant& data)
{
    if (data.typeId() == QMetaType::QByteArray)
        return data.toByteArray();
    if (data.typeId() == QMetaType::QString) {
        QByteArray utf8 = data.toString().toUtf8();
        const qsizetype zero = utf8.indexOf('\0');
        if (zero >= 0)
            utf8.truncate(zero); // a C string's length
        return utf8;
    }
    // A data value of the wrong kind is a programming error, reported the way
    // the standard assert reports it.
    platform::process::failAssertion("0", "Client/Mac/Common/KeychainManager", 40,
                                     "-[KeychainManager secKeychainModifyOrAddGenericPassword:userName:serviceName:]");
}

// Null for bytes that are not UTF-8; a leading byte-order mark is kept.
QString strictUtf8(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder(bytes);
    if (decoder.hasError())
        return {};
    return text.isNull() ? QString::fromLatin1("", 0) : text; // empty, not null
}

struct BioFree {
    void operator()(BIO* bio) const { BIO_free_all(bio); }
};
using BioChain = std::unique_ptr<BIO, BioFree>;

// A Base64 filter without line breaks in front of `memory`; null (and
// `memory` freed) when either cannot be made.
BioChain base64Over(BIO* memory)
{
    BIO* filter = BIO_new(BIO_f_base64());
    if (!memory || !filter) {
        BIO_free(memory);
        BIO_free(filter);
        return nullptr;
    }
    BIO_set_flags(filter, BIO_FLAGS_BASE64_NO_NL);
    return BioChain(BIO_push(filter, memory));
}

} // namespace

KeychainManager& KeychainManager::sharedManager()
{
    static QMutex creationLock;
    static KeychainManager* instance = nullptr;
    QMutexLocker lock(&creationLock);
    if (!instance)
        instance = new KeychainManager; // lives as long as the process
    return *instance;
}

QString KeychainManager::serviceName() const
{
    return QBLocalizedString(QStringLiteral("ProductName"));
}

int32_t KeychainManager::secKeychainModifyOrAddGenericPassword(const QVariant& data, const QString& userName,
                                                               const QString& serviceName)
{
    if (userName.isNull() || isNullData(data))
        return platform::errSecSuccess;
    const QByteArray bytes = bytesOfData(data);
    platform::Keychain& keychain = platform::Keychain::shared();
    const QByteArray service = serviceName.toUtf8();
    const QByteArray account = userName.toUtf8();
    std::unique_ptr<platform::KeychainItem> item;
    keychain.findGenericPassword(service, account, &item);
    if (item)
        return keychain.modifyData(*item, bytes);
    return keychain.addGenericPassword(service, account, bytes);
}

int32_t KeychainManager::secKeychainModifyOrAddGenericPassword(const QVariant& data, const QString& userName)
{
    return secKeychainModifyOrAddGenericPassword(data, userName, serviceName());
}

int32_t KeychainManager::secKeychainFindGenericPassword(QString* result, const QString& userName, const QString& serviceName)
{
    if (userName.isNull())
        return platform::errSecSuccess;
    platform::Keychain& keychain = platform::Keychain::shared();
    std::unique_ptr<platform::KeychainItem> item;
    int32_t status = keychain.findGenericPassword(serviceName.toUtf8(), userName.toUtf8(), &item);
    if (status != platform::errSecSuccess)
        return status;
    QByteArray data;
    status = keychain.copyData(*item, &data);
    if (status != platform::errSecSuccess) {
        logNormal("Failed to read keychain item ( error = %1 )", status);
        // Only an item whose data cannot be read as stored is given up, so
        // that the next save can start afresh. Any other failure is the
        // service's and says nothing about the item, which holds the user's
        // password and encryption key: it stays.
        if (status == platform::errSecDecode)
            secKeychainRemoveAllItemsWithUserName(userName);
        return status;
    }
    if (result && result->isNull() && !data.isEmpty())
        *result = strictUtf8(data);
    return platform::errSecSuccess;
}

int32_t KeychainManager::secKeychainFindGenericPassword(QString* result, const QString& userName)
{
    return secKeychainFindGenericPassword(result, userName, serviceName());
}

bool KeychainManager::secKeychainRemoveAllItemsWithUserName(const QString& userName, const QString& serviceName)
{
    if (userName.isNull())
        return false;
    platform::Keychain& keychain = platform::Keychain::shared();
    std::unique_ptr<platform::KeychainItem> item;
    if (keychain.findGenericPassword(serviceName.toUtf8(), userName.toUtf8(), &item) != platform::errSecSuccess)
        return false;
    return keychain.deleteItem(*item) == platform::errSecSuccess;
}

bool KeychainManager::secKeychainRemoveAllItemsWithUserName(const QString& userName)
{
    return secKeychainRemoveAllItemsWithUserName(userName, serviceName());
}

// --- Records -------------------------------------------------------------

namespace {

// A status after which writing the record would overwrite entries that
// could not be read: the item is there but the service did not give it.
bool readFailedLeavingItem(int32_t status)
{
    return status != platform::errSecSuccess && status != platform::errSecItemNotFound && status != platform::errSecDecode;
}

// Whether a flag key comes back from the record's text as it went in: the
// record format writes keys unescaped, so a quotation mark, a final
// backslash or a brace would break the whole record.
bool isStorableKey(const QString& key)
{
    if (key.contains(QChar(0)))
        return false;
    const std::optional<QVariantMap> back = JSONEncoder::createObjFromJSONStr(
        JSONEncoder::createJSONStrFromDict(QVariantMap{{key, true}}));
    return back && back->size() == 1 && back->value(key) == QVariant(true);
}

QVariantMap recordOfText(const QString& text)
{
    if (text.isEmpty())
        return {};
    std::optional<QVariantMap> parsed = JSONEncoder::createObjFromJSONStr(text);
    return parsed ? *parsed : QVariantMap();
}

} // namespace

QString KeychainManager::readItemText(const QString& userName)
{
    QString text;
    secKeychainFindGenericPassword(&text, userName);
    return text;
}

std::optional<QVariantMap> KeychainManager::readRecord(const QString& userName)
{
    QVariantMap record = recordOfText(readItemText(userName));
    if (record.isEmpty())
        return std::nullopt;
    return record;
}

bool KeychainManager::savePassword(const QString& password, const QString& userName, const bool* keepLoggedin)
{
    if (userName.isEmpty() || (password.isEmpty() && !keepLoggedin))
        return false;
    QMutexLocker lock(&gRecordLock);
    QString text;
    if (readFailedLeavingItem(secKeychainFindGenericPassword(&text, userName)))
        return false;
    QVariantMap record = recordOfText(text);
    if (keepLoggedin)
        record.insert(kKeepSignedInEntry, *keepLoggedin);
    if (!password.isNull())
        record.insert(kPasswordEntry, password);
    // A failed write leaves the item as it was: deleting it would cost the
    // user's other entries for a failure of the service.
    const int32_t status = writeRecord(record, userName);
    if (status != platform::errSecSuccess)
        logNormal("Failed to write keychain item ( error = %1 )", status);
    return status == platform::errSecSuccess;
}

// An item kept by earlier versions under the fixed service name moves to the
// product-named one. It is deleted there only once the copy is written, so a
// failed write loses nothing.
QString KeychainManager::moveItemFromFixedService(const QString& userName)
{
    QString text;
    if (secKeychainFindGenericPassword(&text, userName, kFixedServiceName) != platform::errSecSuccess)
        return {};
    if (!text.isNull() && secKeychainModifyOrAddGenericPassword(text, userName) != platform::errSecSuccess)
        return text;
    secKeychainRemoveAllItemsWithUserName(userName, kFixedServiceName);
    return text;
}

// An item from before the JSON layout holds the bare password.
QString KeychainManager::convertBarePassword(const QString& text, const QString& userName, QVariantMap* record)
{
    *record = QVariantMap{{kPasswordEntry, text}, {kKeepSignedInEntry, true}};
    writeRecord(*record, userName);
    return text;
}

// The item's data is a C string: a record whose text holds a NUL would be
// stored cut there, so it is refused and nothing is written.
int32_t KeychainManager::writeRecord(const QVariantMap& record, const QString& userName)
{
    const QString text = JSONEncoder::createJSONStrFromDict(record);
    if (text.contains(QChar(0))) {
        logNormal("Refusing to store a keychain record with a NUL character in it");
        return platform::errSecParam;
    }
    return secKeychainModifyOrAddGenericPassword(text, userName);
}

QString KeychainManager::getPasswordForUser(const QString& userName, bool* keepLoggedin)
{
    QMutexLocker lock(&gRecordLock);
    QString text;
    const int32_t status = secKeychainFindGenericPassword(&text, userName);
    if (status == platform::errSecItemNotFound && serviceName() != kFixedServiceName)
        text = moveItemFromFixedService(userName);
    if (text.isEmpty())
        return text;
    QVariantMap record;
    if (std::optional<QVariantMap> parsed = JSONEncoder::createObjFromJSONStr(text)) {
        record = *parsed;
    } else if (text.startsWith(u'{')) {
        // A damaged record, not a bare password: rewriting it would lose
        // every entry in it.
        logNormal("The keychain record cannot be read; it is left as it is");
        return {};
    } else {
        convertBarePassword(text, userName, &record);
    }
    if (record.isEmpty())
        return text;
    const QString password = record.value(kPasswordEntry).toString();
    if (password.isEmpty())
        return text;
    if (keepLoggedin && record.contains(kKeepSignedInEntry))
        *keepLoggedin = record.value(kKeepSignedInEntry).toBool();
    return password;
}

bool KeychainManager::removePassword(const QString& userName)
{
    return secKeychainRemoveAllItemsWithUserName(userName);
}

bool KeychainManager::skipAuthForUser(const QString& userName)
{
    return flagForKey(kSkipAuthEntry, userName);
}

void KeychainManager::setSkipAuth(bool skipAuth, const QString& userName)
{
    setBooleanEntry(kSkipAuthEntry, skipAuth, userName);
}

void KeychainManager::removeSkipAuthForUser(const QString& userName)
{
    removeEntry(kSkipAuthEntry, userName);
}

bool KeychainManager::flagExistsForKey(const QString& key, const QString& userName)
{
    if (key.isEmpty() || userName.isEmpty())
        return false;
    const std::optional<QVariantMap> record = readRecord(userName);
    return record && record->contains(key);
}

bool KeychainManager::flagForKey(const QString& key, const QString& userName)
{
    if (key.isEmpty() || userName.isEmpty())
        return false;
    const std::optional<QVariantMap> record = readRecord(userName);
    return record && record->value(key).toBool();
}

// Flags only join an existing record: they never create an item.
void KeychainManager::setBooleanEntry(const QString& key, bool value, const QString& userName)
{
    if (key.isEmpty() || userName.isEmpty())
        return;
    if (!isStorableKey(key)) {
        logNormal("Refusing the keychain flag \"%1\": its name cannot be stored in the record", key);
        return;
    }
    QMutexLocker lock(&gRecordLock);
    std::optional<QVariantMap> record = readRecord(userName);
    if (!record)
        return;
    record->insert(key, value);
    writeRecord(*record, userName);
}

void KeychainManager::removeEntry(const QString& key, const QString& userName)
{
    if (key.isEmpty() || userName.isEmpty())
        return;
    QMutexLocker lock(&gRecordLock);
    std::optional<QVariantMap> record = readRecord(userName);
    if (!record || !record->contains(key))
        return;
    record->remove(key);
    writeRecord(*record, userName);
}

void KeychainManager::setFlag(bool flag, const QString& key, const QString& userName)
{
    setBooleanEntry(key, flag, userName);
}

void KeychainManager::removeFlagForKey(const QString& key, const QString& userName)
{
    removeEntry(key, userName);
}

bool KeychainManager::saveEncryptionKey(const QVariant& encryptionKey, const QString& userName)
{
    if (userName.isNull())
        return false;
    QMutexLocker lock(&gRecordLock);
    QString text;
    if (readFailedLeavingItem(secKeychainFindGenericPassword(&text, userName)))
        return false;
    QVariantMap record = recordOfText(text);
    record.insert(kEncryptionKeyEntry, encryptionKey);
    return writeRecord(record, userName) == platform::errSecSuccess;
}

QVariant KeychainManager::getEncryptionKeyForUser(const QString& userName)
{
    if (userName.isNull())
        return {};
    const std::optional<QVariantMap> record = readRecord(userName);
    return record ? record->value(kEncryptionKeyEntry) : QVariant();
}

// --- Base64 --------------------------------------------------------------

QString KeychainManager::encryptString(const QString& text)
{
    if (text.isEmpty())
        return text;
    const QByteArray bytes = text.toUtf8();
    if (bytes.size() > INT_MAX)
        return {};
    BIO* memory = BIO_new(BIO_s_mem());
    const BioChain chain = base64Over(memory);
    if (!chain)
        return {};
    if (BIO_write(chain.get(), bytes.constData(), int(bytes.size())) != int(bytes.size()) || BIO_flush(chain.get()) != 1)
        return {};
    char* encoded = nullptr;
    const long length = BIO_get_mem_data(memory, &encoded);
    return QString::fromLatin1(encoded, qsizetype(length));
}

QString KeychainManager::decryptString(const QString& text)
{
    if (text.isEmpty())
        return text;
    const QByteArray encoded = text.toUtf8();
    if (encoded.size() > INT_MAX)
        return {};
    const BioChain chain = base64Over(BIO_new_mem_buf(encoded.constData(), int(encoded.size())));
    if (!chain)
        return {};
    QByteArray decoded;
    char buffer[1024];
    int read = 0;
    while ((read = BIO_read(chain.get(), buffer, int(sizeof buffer))) > 0)
        decoded.append(buffer, read);
    return strictUtf8(decoded);
}
