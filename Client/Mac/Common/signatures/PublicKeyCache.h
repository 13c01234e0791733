#pragma once
// Parsed public keys kept by their exact PEM text, so that a caller who hands
// the same key text on every verification pays for reading it once. Only
// keys are kept, never what was verified with them: every verification still
// digests the data and checks the signature in full. A key that cannot be
// read is not kept, so its failure is reported again on every call. Safe to
// use from any thread.

#include <QByteArray>
#include <QString>

#include <openssl/types.h>

#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

// An RSA public key with a verification context for PKCS#1 v1.5 signatures
// over SHA-1 set up once; each verification works on its own copy of that
// context, so threads may share the key.
class CachedPublicKey {
public:
    // Takes ownership of `key`.
    explicit CachedPublicKey(EVP_PKEY* key);
    ~CachedPublicKey();
    CachedPublicKey(const CachedPublicKey&) = delete;
    CachedPublicKey& operator=(const CachedPublicKey&) = delete;

    EVP_PKEY* key() const { return m_key; }
    // 1 when `signature` signs the SHA-1 digest of `data`; anything else is a
    // failure whose reason is on the calling thread's OpenSSL error queue.
    int verifySha1(const QByteArray& signature, const QByteArray& data) const;

private:
    EVP_PKEY* m_key;
    // Null when it could not be set up; each call then sets up its own.
    EVP_PKEY_CTX* m_prepared;
    mutable std::mutex m_copyLock;
};

class PublicKeyCache {
public:
    using Key = std::shared_ptr<const CachedPublicKey>;
    // Reads a key from its text; null when it cannot. The cache owns what it returns.
    using Parser = std::function<EVP_PKEY*(const QString& keyText)>;

    // Keeps at most `capacity` keys (at least one); the least recently used goes first.
    explicit PublicKeyCache(std::size_t capacity);
    PublicKeyCache(const PublicKeyCache&) = delete;
    PublicKeyCache& operator=(const PublicKeyCache&) = delete;

    // The cache of the signature functions: a handful of keys, as a client
    // checks what it receives against one or two publishers' keys.
    static PublicKeyCache& shared();

    // The key whose text is exactly `keyText`, read with `parse` when it is
    // not kept yet. Null when `parse` fails. The parser runs outside the lock,
    // so a slow read holds up no other thread.
    Key keyFor(const QString& keyText, const Parser& parse);

    std::size_t size() const;
    std::size_t capacity() const { return m_capacity; }
    void clear();

private:
    // The kept key of this text, now the most recently used; null when none. Lock held.
    Key keptKeyMovedToFront(const QString& keyText);

    const std::size_t m_capacity;
    mutable std::mutex m_lock;
    // Most recently used first; small enough that a linear search is the fastest lookup.
    std::vector<std::pair<QString, Key>> m_entries;
};
