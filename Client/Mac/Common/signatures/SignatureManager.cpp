#include "SignatureManager.h"

#include "Logging.h"
#include "PublicKeyCache.h"
#include "SignatureCore.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <memory>

namespace {

using KeyPtr = qbcore::KeyPtr;

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
    std::string text;
    *number = qbcore::takeOpenSslError(&text);
    return QString::fromStdString(text);
}

KeyPtr readRsaKey(const QString& keyText, bool isPrivate)
{
    const QByteArray ascii = asciiKeyText(keyText);
    if (ascii.isEmpty()) {
        logError("Signature key text is not ASCII");
        return {};
    }
    const std::string_view pem(ascii.constData(), static_cast<size_t>(ascii.size()));
    KeyPtr key = isPrivate ? qbcore::readPrivateKey(pem) : qbcore::readPublicKey(pem);
    if (key && !qbcore::isRsaKey(key.get())) {
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
    std::string bytes;
    if (!qbcore::sign(key.get(), qbcore::Digest::SHA1, std::string_view(data.constData(), static_cast<size_t>(data.size())),
                      &bytes)) {
        unsigned long number = 0;
        const QString text = describeFirstOpenSslError(&number);
        logError("Signing failed (error %1, %2)", number, text);
        return {};
    }
    const QByteArray signature(bytes.data(), static_cast<qsizetype>(bytes.size()));
    logVerbose("Generated signature \"%1\"", describeBytes(signature));
    return signature;
}

bool SignatureManager::verifySignature(const QByteArray& signature, const QString& publicKey, const QByteArray& data) const
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
