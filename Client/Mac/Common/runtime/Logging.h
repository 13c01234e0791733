#pragma once
// Process-wide logging: four levels, two outputs (the per-launch log file and
// the standard streams) with a threshold each, lines stamped with time,
// process and thread. Also the assertion routine of the shared code.
//
//   logNormal("Launching \"%1\"...", path);
//
// The log macros test the thresholds first: a message that no output shows
// evaluates no argument, formats nothing and allocates nothing.

#include "Exception.h"
#include "Format.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

using LoggingLevel = uint32_t;
inline constexpr LoggingLevel kLogLevelError = 0;
inline constexpr LoggingLevel kLogLevelNormal = 1;
inline constexpr LoggingLevel kLogLevelVerbose = 2;
inline constexpr LoggingLevel kLogLevelDetail = 3;

// Size past which the log file is replaced by a fresh one (50 MiB).
inline constexpr uint64_t kLogFileRolloverSize = 52428800;

namespace logging_detail {
extern std::atomic<LoggingLevel> fileLoggingLevel;
extern std::atomic<LoggingLevel> stdioLoggingLevel;
} // namespace logging_detail

inline bool _isLogLevelVisible(LoggingLevel level)
{
    return !(logging_detail::fileLoggingLevel.load(std::memory_order_relaxed) < level
             && logging_detail::stdioLoggingLevel.load(std::memory_order_relaxed) < level);
}
inline bool isLogVerboseVisible()
{
    return _isLogLevelVisible(kLogLevelVerbose);
}
inline bool isLogDetailVisible()
{
    return _isLogLevelVisible(kLogLevelDetail);
}

// Emits an already formatted message; a missing final newline is added.
void _log(LoggingLevel level, const QString& message);
// The same for the log file alone: for a diagnostic the caller prints on the
// terminal itself, which must not appear there twice.
void logToFileOnly(LoggingLevel level, const QString& message);

namespace logging_detail {
// The line ends where the format says: a format without its own final newline
// gets one, even when the text filled into it already ends in one.
template <typename... Args>
QString messageLine(const FormatPlan& plan, const char* format, const Args&... args)
{
    QString message = ::qbFormat(format, args...);
    if (!message.isNull() && !plan.endsInNewline)
        message += u'\n';
    return message;
}

// The calling thread's line buffer, begun with the stamp, process, level and
// thread prefix. It is taken out of the thread while in use: a line logged
// from inside the write (a switch to a new file) gets a buffer of its own.
TextBuffer takeLine(LoggingLevel level);
// Writes the line (ended with a newline if it has none) and gives the buffer
// back to the thread; an empty line is given back unwritten.
void emitLine(LoggingLevel level, TextBuffer&& line);

// The message is formatted straight into the line in UTF-8 where that gives
// qbFormat's bytes, and through qbFormat's QString otherwise.
template <typename... Args>
void logLine(LoggingLevel level, const FormatPlan& plan, const char* format, const Args&... args)
{
    TextBuffer line = takeLine(level);
    const size_t start = line.size();
    if (::appendPlanned(line, plan, format, args...)) {
        if (!plan.endsInNewline)
            line.append('\n');
    } else {
        line.truncate(start);
        const QString message = messageLine(plan, format, args...);
        if (message.isNull())
            line.clear();
        else
            ::format_detail::appendUtf8(line, message);
    }
    emitLine(level, std::move(line));
}
} // namespace logging_detail

// The format is a string literal, planned when compiling.
#define QB_LOG_FORMAT(format, ...) format
#define QB_LOG_AT(level, ...)                                                                                              \
    do {                                                                                                                   \
        if (::_isLogLevelVisible(level)) {                                                                                 \
            static constexpr ::FormatPlan qbLogPlan = ::planFormat(QB_LOG_FORMAT(__VA_ARGS__));                            \
            ::logging_detail::logLine((level), qbLogPlan, __VA_ARGS__);                                                    \
        }                                                                                                                  \
    } while (0)
#define logError(...) QB_LOG_AT(kLogLevelError, __VA_ARGS__)
#define logNormal(...) QB_LOG_AT(kLogLevelNormal, __VA_ARGS__)
#define logVerbose(...) QB_LOG_AT(kLogLevelVerbose, __VA_ARGS__)
#define logDetail(...) QB_LOG_AT(kLogLevelDetail, __VA_ARGS__)

// Configuring. Each returns the path of the log file now in use ("" for none).
// Level names are "error", "normal", "verbose", "detailed"; anything else
// raises "Configuration Fault". A null or empty name is an assertion failure.
QString initLogging3(const QString& fileLevel, const QString& stdoutLevel, const QString& logFolderPath,
                     const QString& productFamilyName, const QString& productName);
QString initLogging2(const QString& fileLevelStr, const QString& stdoutLevelStr, const QString& logFilePath);
QString initLogging(LoggingLevel fileLevel, LoggingLevel stdoutLevel, const QString& logFilePath);
// Closes the open log file and opens `logFilePath` for appending (null: no file).
QString _initLogging(const QString& logFilePath);

QString getLogFilePath();
// Writes the verbose and detailed lines that still wait in buffers (lines of
// the other levels never wait).
void flushLogFile();
QString _loggingLevelToString(LoggingLevel level);
QString loggingLevelStrFile();
QString loggingLevelStrStdio();
void setLoggingHasDateTimeStamp(bool);

// Utilities.
void ensureFolderPathExists(const QString& folderPath);
QString __createLogFilePath(const QString& folderPath, const QString& productName);
QString __createStringByRegeneratingLogFilePath();
QString createCurrentDateTimeString();
QString createCurrentDateTimeStringForLogFileName();
QString __createCurrentThreadPrefixString();
uint64_t _fileLength(FILE* stream);
QString _removeNewLinesInString(const QString& text);
// Outside text (settings values, file names) for a log line: control
// characters and line separators as "\x{..}", a backslash doubled, so that
// no value can end a line or forge one.
QString escapedForLog(const QString& text);

// Terminal output for tools: the text and a newline, no levels, no stamp.
void NSPrintfString(const QString& text);
void NSPrintErrfString(const QString& text);
#define NSPrintf(...) ::NSPrintfString(::qbFormat(__VA_ARGS__))
#define NSPrintErrf(...) ::NSPrintErrfString(::qbFormat(__VA_ARGS__))

// Assertions stay on in every build.
[[noreturn]] void __assert2(const char* expression, const char* file, int line);
#define QB_ASSERT(condition) ((condition) ? void(0) : ::__assert2(#condition, __FILE__, __LINE__))
// With the expression text given explicitly.
#define QB_ASSERT_TEXT(condition, text) ((condition) ? void(0) : ::__assert2((text), __FILE__, __LINE__))
bool IsDebuggerPresent();

// Each thread's own file manager.
class QBFileManager {
public:
    bool fileExistsAtPath(const QString& path) const;
    bool createDirectoryAtPath(const QString& path, QString* error) const;
};
QBFileManager* __QBCurrentThreadFileManager();

// Test hooks: the rollover size and the countdown between size checks.
void _setLogFileRolloverSizeForTesting(uint64_t bytes);
