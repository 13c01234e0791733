#include "SignatureManager.h"

#include "Logging.h"
#include "PublicKeyCache.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

namespace {

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct DigestContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using DigestContextPtr = std::unique_ptr<EVP_MD_CTX, DigestContextFree>;

// No pass phrase: without this callback OpenSSL would prompt on the terminal.
int refusePassPhrase(char*, int, int, void*)
{
    return 0;
}

BioPtr memoryBioForKeyText(const QByteArray& keyText)
{
    return BioPtr(BIO_new_mem_buf(keyText.constData(), static_cast<int>(keyText.size())));
}

// The key's text, or empty when it is not ASCII.
QByteArray asciiKeyText(const QString& key)
{
    for (QChar c : key) {
        if (c.unicode() > 0x7f)
            return {};
    }
    return key.toLatin1();
}

QString describeFirstOpenSslError(unsigned long* number)
{
    *number = ERR_get_error();
    char text[256];
    ERR_error_string_n(*number, text, sizeof text);
    ERR_clear_error();
    return QString::fromLatin1(text);
}

// Only a "PUBLIC KEY" block: the general reader would also take other forms,
// PKCS#1 "RSA PUBLIC KEY" among them.
EVP_PKEY* readSubjectPublicKeyInfo(BIO* bio)
{
    unsigned char* der = nullptr;
    long length = 0;
    if (PEM_bytes_read_bio(&der, &length, nullptr, PEM_STRING_PUBLIC, bio, refusePassPhrase, nullptr) != 1)
        return nullptr;
    const unsigned char* cursor = der;
    EVP_PKEY* key = d2i_PUBKEY(nullptr, &cursor, length);
    OPENSSL_free(der);
    return key;
}

KeyPtr readRsaKey(const QString& keyText, bool isPrivate)
{
    const QByteArray ascii = asciiKeyText(keyText);
    if (ascii.isEmpty()) {
        logError("Signature key text is not ASCII");
        return {};
    }
    const BioPtr bio = memoryBioForKeyText(ascii);
    if (!bio)
        return {};
    KeyPtr key(isPrivate ? PEM_read_bio_PrivateKey(bio.get(), nullptr, refusePassPhrase, nullptr)
                         : readSubjectPublicKeyInfo(bio.get()));
    if (key && !EVP_PKEY_is_a(key.get(), "RSA")) {
        logError("Signature key is not an RSA key");
        return {};
    }
    if (!key) {
        unsigned long number = 0;
        const QString text = describeFirstOpenSslError(&number);
        logError("Signature key could not be read (error %1, %2)", number, text);
    }
    return key;
}

DigestContextPtr sha1ContextFor(EVP_PKEY* key, bool forSigning)
{
    DigestContextPtr context(EVP_MD_CTX_new());
    if (!context)
        return {};
    const int ok = forSigning ? EVP_DigestSignInit(context.get(), nullptr, EVP_sha1(), nullptr, key)
                              : EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha1(), nullptr, key);
    return ok == 1 ? std::move(context) : DigestContextPtr();
}

// "<0a1b2c3d 4e5f...>": groups of four bytes in hexadecimal.
QString describeBytes(const QByteArray& bytes)
{
    QString text = QStringLiteral("<");
    const QByteArray hex = bytes.toHex();
    for (qsizetype i = 0; i < hex.size(); i += 8) {
        if (i > 0)
            text += u' ';
        text += QString::fromLatin1(hex.mid(i, 8));
    }
    return text + u'>';
}

} // namespace

SignatureManager& SignatureManager::sharedManager()
{
    static SignatureManager shared;
    return shared;
}

QByteArray SignatureManager::generateSignature(const QString& privateKey, const QByteArray& data) const
{
    if (privateKey.isEmpty() || data.isEmpty())
        return {};
    ERR_clear_error();
    const KeyPtr key = readRsaKey(privateKey, true);
    if (!key)
        return {};
    const DigestContextPtr context = sha1ContextFor(key.get(), true);
    QByteArray signature(EVP_PKEY_get_size(key.get()), Qt::Uninitialized);
    size_t length = static_cast<size_t>(signature.size());
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.constData());
    if (!context || signature.isEmpty()
        || EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length, bytes,
                          static_cast<size_t>(data.size()))
            != 1
        || length == 0) {
        unsigned long number = 0;
        const QString text = describeFirstOpenSslError(&number);
        logError("Signing failed (error %1, %2)", number, text);
        return {};
    }
    signature.truncate(static_cast<qsizetype>(length));
    logVerbose("Generated signature \"%1\"", describeBytes(signature));
    return signature;
}

bool SignatureManager::verifySignature(const QByteArray& signature, const QString& publicKey,
                                       const QByteArray& data) const
{
    if (signature.isEmpty() || publicKey.isEmpty() || data.isEmpty())
        return false;
    ERR_clear_error();
    // Reading the PEM text costs far more than the verification itself.
    const PublicKeyCache::Key key = PublicKeyCache::shared().keyFor(
        publicKey, [](const QString& text) { return readRsaKey(text, false).release(); });
    if (!key)
        return false;
    const int result = key->verifySha1(signature, data);
    if (result == 1) {
        logVerbose("Signature verified");
        return true;
    }
    unsigned long number = 0;
    const QString text = describeFirstOpenSslError(&number);
    logError("Signature verify failed (error %1, %2)", number, text);
    return false;
}
