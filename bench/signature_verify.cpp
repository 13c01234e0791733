// Signature verifications per second through SignatureManager (PEM public key
// text handed over on every call, SHA-1 of a 1 KiB message, RSA-2048 verify)
// against the verify figure of `openssl speed -seconds 3 rsa2048` run in the
// same program. Every iteration verifies a different message with its own
// signature, so that nothing but the parsed key can be reused between calls.

#include "Baselines.h"
#include "PemText.h"
#include "RecordingReporter.h"
#include "SignatureManager.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <utility>
#include <vector>

namespace {

constexpr int kMessageSize = 1024;
constexpr int kMessages = 64;

struct KeyMaterial {
    QString privatePem;
    QString publicPem;
    // Message i and its signature.
    std::vector<std::pair<QByteArray, QByteArray>> messages;

    KeyMaterial()
    {
        EVP_PKEY* key = EVP_RSA_gen(2048);
        privatePem = pemText(key, true);
        publicPem = pemText(key, false);
        EVP_PKEY_free(key);
        for (int i = 0; i < kMessages; ++i) {
            QByteArray data(kMessageSize, char('a' + i % 26));
            data.replace(0, 4, QByteArray::number(i).rightJustified(4, '0'));
            messages.emplace_back(data, SignatureManager::sharedManager().generateSignature(privatePem, data));
        }
    }
};

KeyMaterial& keys()
{
    static KeyMaterial shared;
    return shared;
}

void BM_VerifySignature(benchmark::State& state)
{
    const KeyMaterial& k = keys();
    const SignatureManager& manager = SignatureManager::sharedManager();
    std::size_t i = 0;
    for (auto _ : state) {
        const auto& [data, signature] = k.messages[i++ % k.messages.size()];
        if (!manager.verifySignature(signature, k.publicPem, data))
            state.SkipWithError("verification failed");
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_VerifySignature)->MinTime(3.0);

// For comparison: the same verification with the key parsed once, which
// shows how much of each call goes to reading the PEM text.
void BM_VerifyWithKeyParsedOnce(benchmark::State& state)
{
    const KeyMaterial& k = keys();
    const QByteArray pemBytes = k.publicPem.toLatin1();
    BIO* bio = BIO_new_mem_buf(pemBytes.constData(), int(pemBytes.size()));
    EVP_PKEY* key = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    std::size_t i = 0;
    for (auto _ : state) {
        const auto& [data, signature] = k.messages[i++ % k.messages.size()];
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        EVP_DigestVerifyInit(context, nullptr, EVP_sha1(), nullptr, key);
        if (EVP_DigestVerify(context, reinterpret_cast<const unsigned char*>(signature.constData()), size_t(signature.size()),
                             reinterpret_cast<const unsigned char*>(data.constData()), size_t(data.size()))
            != 1)
            state.SkipWithError("verification failed");
        EVP_MD_CTX_free(context);
    }
    EVP_PKEY_free(key);
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_VerifyWithKeyParsedOnce)->MinTime(1.0);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    keys();
    std::printf("running openssl speed -seconds 3 rsa2048 ...\n");
    const double baseline = baselines::opensslVerifiesPerSecond();
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double ours = reporter.figure("BM_VerifySignature", "", "items_per_second");
    const double parsedOnce = reporter.figure("BM_VerifyWithKeyParsedOnce", "", "items_per_second");
    if (ours <= 0 || baseline <= 0) {
        std::printf("ratio unavailable (openssl verify/s %.1f)\n", baseline);
    } else {
        std::printf("ratio: SignatureManager verifications/s / openssl speed verify/s = %.3f (%.0f/s vs %.0f/s; "
                    "%d-byte messages)\n",
                    ours / baseline, ours, baseline, kMessageSize);
        if (parsedOnce > 0)
            std::printf("       (key parsed once: %.3f, %.0f/s; CPU-time figures on both sides)\n", parsedOnce / baseline,
                        parsedOnce);
    }
    benchmark::Shutdown();
    return 0;
}
