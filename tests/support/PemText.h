#pragma once
// A key as PEM text, the form SignatureManager takes: the private key in the
// traditional RSA form, the public key as SubjectPublicKeyInfo.

#include <QString>

#include <openssl/evp.h>
#include <openssl/pem.h>

inline QString pemText(EVP_PKEY* key, bool isPrivate)
{
    BIO* bio = BIO_new(BIO_s_mem());
    if (isPrivate)
        PEM_write_bio_PrivateKey_traditional(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    else
        PEM_write_bio_PUBKEY(bio, key);
    char* bytes = nullptr;
    const long length = BIO_get_mem_data(bio, &bytes);
    QString text = QString::fromLatin1(bytes, length);
    BIO_free(bio);
    return text;
}
