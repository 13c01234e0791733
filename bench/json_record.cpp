// The JSON record writer and reader against Qt's QJsonDocument on a typical
// keyring record, both measured on the path the keyring uses: record to
// UTF-8 bytes, and UTF-8 bytes back to a record. Prints each time and the
// ratios of CPU times (ours / Qt's; below 1 means ours is faster) measured
// in this run; CPU time, because other work on the machine inflates wall time.

#include "JSONEncoder.h"
#include "RecordingReporter.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

namespace {

QVariantMap keyringRecord()
{
    return QVariantMap{
        {QStringLiteral("password"), QStringLiteral("correct \"horse\" battery staple / 42")},
        {QStringLiteral("keepSignedIn"), true},
        {QStringLiteral("skipAuth"), false},
        {QStringLiteral("encryptionKey"), QStringLiteral("q3Fv9sKx0bLmT2yWc8ZpRj4nHdUe6AiOgEkN1lMfSa0=")},
        {QStringLiteral("sawWelcome"), true},
    };
}

QByteArray ourBytes(const QVariantMap& record)
{
    return JSONEncoder::createJSONStrFromDict(record).toUtf8();
}

QByteArray qtBytes(const QVariantMap& record)
{
    return QJsonDocument(QJsonObject::fromVariantMap(record)).toJson(QJsonDocument::Compact);
}

QVariantMap ourRecord(const QByteArray& bytes)
{
    return JSONEncoder::createObjFromJSONStr(QString::fromUtf8(bytes)).value_or(QVariantMap());
}

QVariantMap qtRecord(const QByteArray& bytes)
{
    return QJsonDocument::fromJson(bytes).object().toVariantMap();
}

void BM_Write_JSONEncoder(benchmark::State& state)
{
    const QVariantMap record = keyringRecord();
    for (auto _ : state)
        benchmark::DoNotOptimize(ourBytes(record));
}
BENCHMARK(BM_Write_JSONEncoder)->Repetitions(7)->ReportAggregatesOnly(true);

void BM_Write_QJsonDocument(benchmark::State& state)
{
    const QVariantMap record = keyringRecord();
    for (auto _ : state)
        benchmark::DoNotOptimize(qtBytes(record));
}
BENCHMARK(BM_Write_QJsonDocument)->Repetitions(7)->ReportAggregatesOnly(true);

void BM_Read_JSONEncoder(benchmark::State& state)
{
    const QByteArray bytes = ourBytes(keyringRecord());
    for (auto _ : state)
        benchmark::DoNotOptimize(ourRecord(bytes));
}
BENCHMARK(BM_Read_JSONEncoder)->Repetitions(7)->ReportAggregatesOnly(true);

void BM_Read_QJsonDocument(benchmark::State& state)
{
    const QByteArray bytes = ourBytes(keyringRecord());
    for (auto _ : state)
        benchmark::DoNotOptimize(qtRecord(bytes));
}
BENCHMARK(BM_Read_QJsonDocument)->Repetitions(7)->ReportAggregatesOnly(true);

// Both sides must read and write the same record, or the comparison is void.
void checkBothAgree()
{
    const QVariantMap record = keyringRecord();
    if (ourRecord(ourBytes(record)) != record || qtRecord(ourBytes(record)) != record
        || ourRecord(qtBytes(record)) != record) {
        std::fprintf(stderr, "The two encoders disagree on the benchmark record\n");
        std::exit(1);
    }
}

} // namespace

int main(int argc, char** argv)
{
    checkBothAgree();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    // Medians of the repetitions: one slow repetition on a busy machine does not move them.
    for (const char* what : {"Write", "Read"}) {
        const std::string prefix = std::string("BM_") + what;
        const double ratio = reporter.ratio(prefix + "_JSONEncoder", prefix + "_QJsonDocument", "_median", "cpu");
        if (ratio > 0)
            std::printf("ratio %-6s JSONEncoder / QJsonDocument = %.2f (CPU time)\n", what, ratio);
    }
    benchmark::Shutdown();
    return 0;
}
