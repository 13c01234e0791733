// The JSON record writer and reader against Qt's QJsonDocument on a typical
// keyring record, both measured on the path the keyring uses: record to
// UTF-8 bytes, and UTF-8 bytes back to a record. Prints each time and the
// ratios of CPU times (ours / Qt's; below 1 means ours is faster) measured
// in this run; CPU time, because other work on the machine inflates wall time.

#include "JSONEncoder.h"

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

// Collects each benchmark's time so that the ratios come from this run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.aggregate_name == "median")
                m_times[run.run_name.function_name] = run.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    // Medians of the repetitions: one slow repetition on a busy machine
    // does not move them.
    void printRatio(const char* what, const std::string& ours, const std::string& baseline) const
    {
        const auto a = m_times.find(ours);
        const auto b = m_times.find(baseline);
        if (a != m_times.end() && b != m_times.end() && b->second > 0)
            std::printf("ratio %-6s JSONEncoder / QJsonDocument = %.2f (CPU time)\n", what, a->second / b->second);
    }

private:
    std::map<std::string, double> m_times;
};

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
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatio("write", "BM_Write_JSONEncoder", "BM_Write_QJsonDocument");
    reporter.printRatio("read", "BM_Read_JSONEncoder", "BM_Read_QJsonDocument");
    benchmark::Shutdown();
    return 0;
}
