// Signature verifications per second through SignatureManager (PEM public key
// parsed on every call, SHA-1 of 1 KiB, RSA-2048 verify) against the verify
// figure of `openssl speed -seconds 3 rsa2048` run in the same program.

#include "RecordingReporter.h"
#include "SignatureManager.h"

#include <QProcess>
#include <QRegularExpression>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdio>

namespace {

struct KeyMaterial {
    QString privatePem;
    QString publicPem;
    QByteArray data = QByteArray(1024, 'q');
    QByteArray signature;

    KeyMaterial()
    {
        EVP_PKEY* key = EVP_RSA_gen(2048);
        privatePem = pem(key, true);
        publicPem = pem(key, false);
        EVP_PKEY_free(key);
        signature = SignatureManager::sharedManager().generateSignature(privatePem, data);
    }
    static QString pem(EVP_PKEY* key, bool isPrivate)
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
    for (auto _ : state) {
        if (!manager.verifySignature(k.signature, k.publicPem, k.data))
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
    const auto* signature = reinterpret_cast<const unsigned char*>(k.signature.constData());
    const auto* data = reinterpret_cast<const unsigned char*>(k.data.constData());
    for (auto _ : state) {
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        EVP_DigestVerifyInit(context, nullptr, EVP_sha1(), nullptr, key);
        if (EVP_DigestVerify(context, signature, size_t(k.signature.size()), data, size_t(k.data.size())) != 1)
            state.SkipWithError("verification failed");
        EVP_MD_CTX_free(context);
    }
    EVP_PKEY_free(key);
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_VerifyWithKeyParsedOnce)->MinTime(1.0);

// "rsa 2048 bits 0.000612s 0.000018s   1634.0  55412.3": the last figure.
double opensslVerifiesPerSecond()
{
    QProcess process;
    process.start(QStringLiteral("openssl"), {QStringLiteral("speed"), QStringLiteral("-seconds"), QStringLiteral("3"),
                                              QStringLiteral("rsa2048")});
    process.waitForFinished(120000);
    const QString output = QString::fromLatin1(process.readAllStandardOutput());
    static const QRegularExpression line(QStringLiteral(R"(^rsa\s+2048 bits\s+\S+\s+\S+\s+\S+\s+([0-9.]+)\s*$)"),
                                         QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = line.match(output);
    return match.hasMatch() ? match.captured(1).toDouble() : 0.0;
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    keys();
    std::printf("running openssl speed -seconds 3 rsa2048 ...\n");
    const double baseline = opensslVerifiesPerSecond();
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double ours = reporter.figure("BM_VerifySignature", "", "items_per_second");
    const double parsedOnce = reporter.figure("BM_VerifyWithKeyParsedOnce", "", "items_per_second");
    if (ours <= 0 || baseline <= 0) {
        std::printf("ratio unavailable (openssl verify/s %.1f)\n", baseline);
    } else {
        std::printf("ratio: SignatureManager verifications/s / openssl speed verify/s = %.3f (%.0f/s vs %.0f/s)\n",
                    ours / baseline, ours, baseline);
        if (parsedOnce > 0)
            std::printf("       (key parsed once: %.3f, %.0f/s; CPU-time figures on both sides)\n",
                        parsedOnce / baseline, parsedOnce);
    }
    benchmark::Shutdown();
    return 0;
}
