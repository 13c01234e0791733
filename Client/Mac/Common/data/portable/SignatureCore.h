#pragma once
// Keys, signatures and digests over OpenSSL's EVP layer, in plain C++: the
// same code serves the family's SignatureManager (RSA over SHA-1) and the
// update tool (RSA over SHA-256, or Ed25519).

#include <openssl/evp.h>

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace qbcore {

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;

enum class Digest {
    SHA1,
    SHA256,
    None, // Ed25519 hashes inside the scheme
};

// Only a PEM "PUBLIC KEY" block (SubjectPublicKeyInfo); other forms, PKCS#1
// "RSA PUBLIC KEY" among them, are refused.
KeyPtr readPublicKey(std::string_view pem);
// An unencrypted PEM private key; an encrypted one is refused, never asked a
// pass phrase for.
KeyPtr readPrivateKey(std::string_view pem);

bool isRsaKey(const EVP_PKEY* key);
bool isEd25519Key(const EVP_PKEY* key);

// RSA PKCS#1 v1.5 over the digest, or Ed25519 with Digest::None. False on
// any failure; the reason stays on OpenSSL's error queue.
bool sign(EVP_PKEY* key, Digest digest, std::string_view data, std::string* signature);
bool verify(EVP_PKEY* key, Digest digest, std::string_view signature, std::string_view data);

// The first error on this thread's OpenSSL queue (its number and text); the
// queue is emptied.
unsigned long takeOpenSslError(std::string* text);

using Sha256Digest = std::array<unsigned char, 32>;

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    bool update(const void* bytes, size_t count);
    bool final(Sha256Digest* digest);

private:
    EVP_MD_CTX* m_context;
};

std::string toHex(const unsigned char* bytes, size_t count);
// Strict Base64 (no line breaks, padding required); false when malformed.
bool decodeBase64(std::string_view text, std::string* bytes);
std::string encodeBase64(std::string_view bytes);

} // namespace qbcore
