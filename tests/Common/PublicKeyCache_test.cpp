#include "PemText.h"
#include "PublicKeyCache.h"
#include "SignatureManager.h"
#include "TestSupport.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

struct KeyPair {
    QString privatePem;
    QString publicPem;
};

// RSA keys made once for the whole file; 1024 bits keeps their making quick.
const std::vector<KeyPair>& keyPairs()
{
    static const std::vector<KeyPair> pairs = [] {
        std::vector<KeyPair> made;
        for (int i = 0; i < 3; ++i) {
            EVP_PKEY* key = EVP_RSA_gen(1024);
            made.push_back({pemText(key, true), pemText(key, false)});
            EVP_PKEY_free(key);
        }
        return made;
    }();
    return pairs;
}

EVP_PKEY* parsePublicKey(const QString& text)
{
    const QByteArray bytes = text.toLatin1();
    BIO* bio = BIO_new_mem_buf(bytes.constData(), int(bytes.size()));
    EVP_PKEY* key = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    return key;
}

// Counts how often the cache had to read a key text.
struct CountingParser {
    std::atomic<int> calls{0};
    PublicKeyCache::Parser parser()
    {
        return [this](const QString& text) {
            ++calls;
            // Every text stands for the first test key: the cache goes by text alone.
            return text.isEmpty() ? nullptr : parsePublicKey(keyPairs().front().publicPem);
        };
    }
};

QByteArray flipped(QByteArray bytes, qsizetype index)
{
    bytes[index] = char(bytes.at(index) ^ 0x01);
    return bytes;
}

} // namespace

TEST(PublicKeyCache, KeepsAtMostItsCapacityAndDropsTheLeastRecentlyUsed)
{
    for (const std::size_t capacity : {std::size_t(1), std::size_t(3), std::size_t(8)}) {
        SCOPED_TRACE(capacity);
        PublicKeyCache cache(capacity);
        CountingParser counting;
        const auto text = [](std::size_t i) { return QStringLiteral("key %1").arg(i); };
        const std::size_t total = capacity + 5;
        for (std::size_t i = 0; i < total; ++i)
            ASSERT_TRUE(cache.keyFor(text(i), counting.parser()));
        EXPECT_EQ(cache.size(), capacity);
        EXPECT_EQ(counting.calls.load(), int(total));

        // The newest `capacity` texts are kept, most recent first: no read.
        for (std::size_t i = total; i-- > total - capacity;)
            EXPECT_TRUE(cache.keyFor(text(i), counting.parser()));
        EXPECT_EQ(counting.calls.load(), int(total));

        // An older text is read again and pushes out the one used longest ago,
        // which after the loop above is the newest of the first round.
        cache.keyFor(text(0), counting.parser());
        EXPECT_EQ(counting.calls.load(), int(total) + 1);
        EXPECT_EQ(cache.size(), capacity);
        cache.keyFor(text(total - 1), counting.parser());
        EXPECT_EQ(counting.calls.load(), int(total) + 2);
    }
}

TEST(PublicKeyCache, TextsThatDifferInAnyWayAreDifferentKeysAndFailuresAreNotKept)
{
    PublicKeyCache cache(4);
    CountingParser counting;
    const QString text = keyPairs().front().publicPem;
    const PublicKeyCache::Key first = cache.keyFor(text, counting.parser());
    EXPECT_EQ(cache.keyFor(text, counting.parser()), first);
    EXPECT_EQ(counting.calls.load(), 1);

    for (const QString& other : {text + u'\n', QString(text).replace(0, 1, u' '), text.toLower()}) {
        EXPECT_NE(cache.keyFor(other, counting.parser()), first);
    }
    EXPECT_EQ(counting.calls.load(), 4);

    // The empty text fails to parse: asked twice, read twice, never kept.
    cache.clear();
    EXPECT_FALSE(cache.keyFor(QString(), counting.parser()));
    EXPECT_FALSE(cache.keyFor(QString(), counting.parser()));
    EXPECT_EQ(counting.calls.load(), 6);
    EXPECT_EQ(cache.size(), 0u);
}

TEST(PublicKeyCache, ThreadsSharingFewerSlotsThanKeysAllGetTheRightAnswers)
{
    // Three keys through two slots: the threads keep pushing each other's
    // keys out while others still verify with them.
    PublicKeyCache cache(2);
    const QByteArray data("the same data for everyone");
    std::vector<QByteArray> signatures;
    for (const KeyPair& pair : keyPairs())
        signatures.push_back(SignatureManager::sharedManager().generateSignature(pair.privatePem, data));

    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 150; ++i) {
                const std::size_t k = std::size_t(t + i) % keyPairs().size();
                const PublicKeyCache::Key key = cache.keyFor(keyPairs()[k].publicPem, parsePublicKey);
                if (!key || key->verifySha1(signatures[k], data) != 1
                    || key->verifySha1(signatures[(k + 1) % signatures.size()], data) == 1
                    || key->verifySha1(signatures[k], data + "!") == 1)
                    ++wrong;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_LE(cache.size(), 2u);
}

TEST(PublicKeyCache, ABadSignatureFailsRightAfterAGoodOneWithTheSameKey)
{
    const SignatureManager& signatures = SignatureManager::sharedManager();
    const KeyPair& pair = keyPairs().front();
    const QByteArray data("message one");
    const QByteArray signature = signatures.generateSignature(pair.privatePem, data);
    const QByteArray otherSignature = signatures.generateSignature(pair.privatePem, QByteArray("message two"));
    const struct {
        const char* what;
        QByteArray signature;
        QByteArray data;
    } bad[] = {
        {"altered data", signature, flipped(data, 3)},
        {"altered signature", flipped(signature, 40), data},
        {"shortened signature", signature.left(signature.size() - 1), data},
        {"another message's signature", otherSignature, data},
    };
    for (const auto& c : bad) {
        SCOPED_TRACE(c.what);
        testing_support::LogCapture log(0);
        EXPECT_TRUE(signatures.verifySignature(signature, pair.publicPem, data));
        EXPECT_FALSE(signatures.verifySignature(c.signature, pair.publicPem, c.data));
        EXPECT_EQ(log.messages().filter(QStringLiteral("Signature verify failed (error ")).size(), 1);
        EXPECT_TRUE(signatures.verifySignature(signature, pair.publicPem, data));
    }
}
