#pragma once
// The baselines the benchmarks compare with, in one place so that a change to
// our side can never change what it is measured against: spdlog's sinks with
// our line layout, the `unzip` command line, `openssl speed`.

#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <string>

namespace baselines {

// Lines with stamp (six fraction digits: spdlog has no four), process name
// and id, level tag, thread id and message, at trace level and above.
inline std::shared_ptr<spdlog::logger> withOurLayout(std::shared_ptr<spdlog::logger> logger, const char* tag)
{
    logger->set_pattern(std::string("%Y-%m-%d %H:%M:%S.%f bench_logging[%P] ") + tag + " [0x%t] %v");
    logger->set_level(spdlog::level::trace);
    return logger;
}

// spdlog's synchronous file sink, its file emptied first.
inline std::shared_ptr<spdlog::logger> spdlogFile(const std::string& name, const std::string& path, const char* tag)
{
    return withOurLayout(
        std::make_shared<spdlog::logger>(name, std::make_shared<spdlog::sinks::basic_file_sink_mt>(path, true)), tag);
}

// Each line at info level and above written to the kernel before the call returns.
inline std::shared_ptr<spdlog::logger> spdlogFlushed(const std::string& name, const std::string& path)
{
    auto logger = spdlogFile(name, path, "(nrm)");
    logger->flush_on(spdlog::level::info);
    return logger;
}

// The default: lines wait in the C library's buffer.
inline std::shared_ptr<spdlog::logger> spdlogBuffered(const std::string& name, const std::string& path)
{
    return spdlogFile(name, path, "(dtl)");
}

// spdlog's null sink. It drops each message under its lock before the
// pattern (stamp, process, thread) is applied: spdlog formats the message
// text, takes the time and the thread id, and nothing else.
inline std::shared_ptr<spdlog::logger> spdlogNull(const std::string& name)
{
    return withOurLayout(std::make_shared<spdlog::logger>(name, std::make_shared<spdlog::sinks::null_sink_mt>()), "(dtl)");
}

// The `unzip` command extracting `archive` into `folder`, replacing what is there.
inline int runUnzipCommand(const QString& archive, const QString& folder)
{
    return QProcess::execute(QStringLiteral("unzip"),
                             {QStringLiteral("-q"), QStringLiteral("-o"), archive, QStringLiteral("-d"), folder});
}

// The verify figure of `openssl speed -seconds 3 rsa2048`
// ("rsa 2048 bits 0.000612s 0.000018s   1634.0  55412.3": the last one), 0 when absent.
inline double opensslVerifiesPerSecond()
{
    QProcess process;
    process.start(QStringLiteral("openssl"),
                  {QStringLiteral("speed"), QStringLiteral("-seconds"), QStringLiteral("3"), QStringLiteral("rsa2048")});
    process.waitForFinished(120000);
    const QString output = QString::fromLatin1(process.readAllStandardOutput());
    static const QRegularExpression line(QStringLiteral(R"(^rsa\s+2048 bits\s+\S+\s+\S+\s+\S+\s+([0-9.]+)\s*$)"),
                                         QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = line.match(output);
    return match.hasMatch() ? match.captured(1).toDouble() : 0.0;
}

} // namespace baselines
