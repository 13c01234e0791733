#include "PublicKeyCache.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>

namespace {

constexpr std::size_t kSharedCapacity = 8;

// Fetched once: the implicit fetch behind EVP_sha1() searches the provider
// store again on every use.
const EVP_MD* sha1()
{
    static const EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA1", nullptr);
    return fetched ? fetched : EVP_sha1();
}

EVP_PKEY_CTX* newVerificationContext(EVP_PKEY* key)
{
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(key, nullptr);
    if (context && EVP_PKEY_verify_init(context) == 1 && EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING) == 1
        && EVP_PKEY_CTX_set_signature_md(context, sha1()) == 1)
        return context;
    EVP_PKEY_CTX_free(context);
    return nullptr;
}

} // namespace

CachedPublicKey::CachedPublicKey(EVP_PKEY* key) : m_key(key)
{
    // A failure here belongs to no caller's verification: keep it off the queue.
    ERR_set_mark();
    m_prepared = newVerificationContext(m_key);
    ERR_pop_to_mark();
}

CachedPublicKey::~CachedPublicKey()
{
    EVP_PKEY_CTX_free(m_prepared);
    EVP_PKEY_free(m_key);
}

int CachedPublicKey::verifySha1(const QByteArray& signature, const QByteArray& data) const
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_Digest(data.constData(), static_cast<size_t>(data.size()), digest, &digestLength, sha1(), nullptr) != 1)
        return 0;
    EVP_PKEY_CTX* context = nullptr;
    if (m_prepared) {
        const std::lock_guard<std::mutex> locker(m_copyLock);
        context = EVP_PKEY_CTX_dup(m_prepared);
    } else {
        context = newVerificationContext(m_key);
    }
    if (!context)
        return 0;
    const int result = EVP_PKEY_verify(context, reinterpret_cast<const unsigned char*>(signature.constData()),
                                       static_cast<size_t>(signature.size()), digest, digestLength);
    EVP_PKEY_CTX_free(context);
    return result;
}

PublicKeyCache::PublicKeyCache(std::size_t capacity) : m_capacity(std::max<std::size_t>(capacity, 1))
{
    m_entries.reserve(m_capacity);
}

PublicKeyCache& PublicKeyCache::shared()
{
    static PublicKeyCache cache(kSharedCapacity);
    return cache;
}

PublicKeyCache::Key PublicKeyCache::keptKeyMovedToFront(const QString& keyText)
{
    const auto found = std::find_if(m_entries.begin(), m_entries.end(),
                                    [&keyText](const auto& entry) { return entry.first == keyText; });
    if (found == m_entries.end())
        return {};
    std::rotate(m_entries.begin(), found, found + 1);
    return m_entries.front().second;
}

PublicKeyCache::Key PublicKeyCache::keyFor(const QString& keyText, const Parser& parse)
{
    {
        const std::lock_guard<std::mutex> locker(m_lock);
        if (Key kept = keptKeyMovedToFront(keyText))
            return kept;
    }
    EVP_PKEY* parsed = parse(keyText);
    if (!parsed)
        return {};
    Key key = std::make_shared<const CachedPublicKey>(parsed);
    const std::lock_guard<std::mutex> locker(m_lock);
    // Another thread may have read the same text meanwhile: keep one entry.
    if (Key kept = keptKeyMovedToFront(keyText))
        return kept;
    if (m_entries.size() == m_capacity)
        m_entries.pop_back();
    m_entries.emplace(m_entries.begin(), keyText, key);
    return key;
}

std::size_t PublicKeyCache::size() const
{
    const std::lock_guard<std::mutex> locker(m_lock);
    return m_entries.size();
}

void PublicKeyCache::clear()
{
    const std::lock_guard<std::mutex> locker(m_lock);
    m_entries.clear();
}
