#pragma once
// RSA signatures over byte buffers: PKCS#1 v1.5 over the SHA-1 digest of the
// data, keys given as PEM text. The results are those of
// `openssl dgst -sha1 -sign` and `-verify` for the same key and data.

#include <QByteArray>
#include <QString>

class SignatureManager {
public:
    static SignatureManager& sharedManager();

    // The signature (the key's modulus size in bytes), or null. The key is a
    // PEM "RSA PRIVATE KEY" block; an encrypted key is refused, never asked
    // a pass phrase for.
    QByteArray generateSignature(const QString& privateKey, const QByteArray& data) const;
    // The key is a PEM "PUBLIC KEY" block holding an RSA key.
    bool verifySignature(const QByteArray& signature, const QString& publicKey, const QByteArray& data) const;
};
