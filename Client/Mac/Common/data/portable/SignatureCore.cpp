#include "SignatureCore.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include <cctype>
#include <climits>

namespace qbcore {
namespace {

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct DigestContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using DigestContextPtr = std::unique_ptr<EVP_MD_CTX, DigestContextFree>;

// No pass phrase: without this callback OpenSSL would prompt on the terminal.
int refusePassPhrase(char*, int, int, void*)
{
    return 0;
}

BioPtr memoryBio(std::string_view text)
{
    if (text.size() > INT_MAX)
        return {};
    return BioPtr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

const EVP_MD* digestFor(Digest digest)
{
    switch (digest) {
    case Digest::SHA1:
        return EVP_sha1();
    case Digest::SHA256:
        return EVP_sha256();
    case Digest::None:
        break;
    }
    return nullptr;
}

DigestContextPtr contextFor(EVP_PKEY* key, Digest digest, bool forSigning)
{
    DigestContextPtr context(EVP_MD_CTX_new());
    if (!context)
        return {};
    const int ok = forSigning ? EVP_DigestSignInit(context.get(), nullptr, digestFor(digest), nullptr, key)
                              : EVP_DigestVerifyInit(context.get(), nullptr, digestFor(digest), nullptr, key);
    return ok == 1 ? std::move(context) : DigestContextPtr();
}

} // namespace

KeyPtr readPublicKey(std::string_view pem)
{
    const BioPtr bio = memoryBio(pem);
    if (!bio)
        return {};
    unsigned char* der = nullptr;
    long length = 0;
    if (PEM_bytes_read_bio(&der, &length, nullptr, PEM_STRING_PUBLIC, bio.get(), refusePassPhrase, nullptr) != 1)
        return {};
    const unsigned char* cursor = der;
    KeyPtr key(d2i_PUBKEY(nullptr, &cursor, length));
    OPENSSL_free(der);
    return key;
}

KeyPtr readPrivateKey(std::string_view pem)
{
    const BioPtr bio = memoryBio(pem);
    if (!bio)
        return {};
    return KeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, refusePassPhrase, nullptr));
}

bool isRsaKey(const EVP_PKEY* key)
{
    return key && EVP_PKEY_is_a(key, "RSA");
}

bool isEd25519Key(const EVP_PKEY* key)
{
    return key && EVP_PKEY_is_a(key, "ED25519");
}

bool sign(EVP_PKEY* key, Digest digest, std::string_view data, std::string* signature)
{
    const DigestContextPtr context = contextFor(key, digest, true);
    const int size = key ? EVP_PKEY_get_size(key) : 0;
    if (!context || size <= 0)
        return false;
    signature->assign(static_cast<size_t>(size), '\0');
    size_t length = signature->size();
    if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature->data()), &length,
                       reinterpret_cast<const unsigned char*>(data.data()), data.size())
            != 1
        || length == 0) {
        signature->clear();
        return false;
    }
    signature->resize(length);
    return true;
}

bool verify(EVP_PKEY* key, Digest digest, std::string_view signature, std::string_view data)
{
    const DigestContextPtr context = contextFor(key, digest, false);
    return context
           && EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                               reinterpret_cast<const unsigned char*>(data.data()), data.size())
                  == 1;
}

unsigned long takeOpenSslError(std::string* text)
{
    const unsigned long number = ERR_get_error();
    char buffer[256];
    ERR_error_string_n(number, buffer, sizeof buffer);
    ERR_clear_error();
    if (text)
        *text = buffer;
    return number;
}

Sha256::Sha256() : m_context(EVP_MD_CTX_new())
{
    if (m_context && EVP_DigestInit_ex(m_context, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(m_context);
        m_context = nullptr;
    }
}

Sha256::~Sha256()
{
    EVP_MD_CTX_free(m_context);
}

bool Sha256::update(const void* bytes, size_t count)
{
    return m_context && EVP_DigestUpdate(m_context, bytes, count) == 1;
}

bool Sha256::final(Sha256Digest* digest)
{
    unsigned int length = 0;
    return m_context && EVP_DigestFinal_ex(m_context, digest->data(), &length) == 1 && length == digest->size();
}

std::string toHex(const unsigned char* bytes, size_t count)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0xf];
    }
    return text;
}

bool decodeBase64(std::string_view text, std::string* bytes)
{
    if (text.empty() || text.size() % 4 != 0 || text.size() > INT_MAX)
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool padding = c == '=' && i + 2 >= text.size() && (i + 1 == text.size() || text[i + 1] == '=');
        if (!padding && !(std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/'))
            return false;
    }
    bytes->assign(text.size() / 4 * 3, '\0');
    const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes->data()),
                                       reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (length < 0)
        return false;
    // EVP_DecodeBlock counts the padding as zero bytes.
    size_t size = static_cast<size_t>(length);
    for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i)
        --size;
    bytes->resize(size);
    return true;
}

std::string encodeBase64(std::string_view bytes)
{
    std::string text((bytes.size() + 2) / 3 * 4 + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                       reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    text.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return text;
}

} // namespace qbcore
