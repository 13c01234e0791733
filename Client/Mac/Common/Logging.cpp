#include "Logging.h"

#include "FileManager.h"
#include "ProcessInfo.h"
#include "SystemLocations.h"

#include <QFile>
#include <QFileInfo>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <mutex>

namespace logging_detail {
std::atomic<LoggingLevel> fileLoggingLevel{kLogLevelNormal};
std::atomic<LoggingLevel> stdioLoggingLevel{kLogLevelNormal};
} // namespace logging_detail

using logging_detail::fileLoggingLevel;
using logging_detail::stdioLoggingLevel;

namespace {

// The logging queue: serialises the file write with the size check and the
// switch to a new file, so no line is ever written to a closed handle. It is
// recursive because the switch itself may log (a re-created folder).
std::recursive_mutex gLoggingQueue;
QString gLogFilePath;
FILE* gLogFile = nullptr;
QString gLogFolderPath;
QString gProductName;
uint64_t gLinesUntilSizeCheck = 0;
uint64_t gRolloverSize = kLogFileRolloverSize;

// Process name and id printed in each line; read by every logging thread.
std::mutex gIdentityLock;
QByteArray gLineIdentity; // "Name[pid]"

void storeProcessIdentity()
{
    const QByteArray identity = platform::process::processName().toUtf8() + '['
        + QByteArray::number(platform::process::processIdentifier()) + ']';
    std::lock_guard lock(gIdentityLock);
    gLineIdentity = identity;
}

QByteArray processIdentity()
{
    std::lock_guard lock(gIdentityLock);
    if (gLineIdentity.isEmpty()) {
        gLineIdentity = platform::process::processName().toUtf8() + '['
            + QByteArray::number(platform::process::processIdentifier()) + ']';
    }
    return gLineIdentity;
}

const char* levelTag(LoggingLevel level)
{
    switch (level) {
    case kLogLevelError:
        return "(ERR) ";
    case kLogLevelVerbose:
        return "(vrb) ";
    case kLogLevelDetail:
        return "(dtl) ";
    default:
        return "(nrm) ";
    }
}

// "yyyy-MM-dd HH:mm:ss.SSSS" or "yyyy-MM-dd-HHmmss" in local time. The
// calendar part is worked out once per second and thread.
QByteArray stampOfNow(bool forFileName)
{
    thread_local time_t cachedSecond = -1;
    thread_local char calendar[32];
    thread_local char fileName[32];
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec != cachedSecond) {
        tm local{};
        localtime_r(&now.tv_sec, &local);
        std::strftime(calendar, sizeof calendar, "%Y-%m-%d %H:%M:%S", &local);
        std::strftime(fileName, sizeof fileName, "%Y-%m-%d-%H%M%S", &local);
        cachedSecond = now.tv_sec;
    }
    if (forFileName)
        return QByteArray(fileName);
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%04d", int(now.tv_nsec / 100000) % 10000);
    return QByteArray(calendar) + fraction;
}

// The thread prefix in UTF-8, rebuilt only when the thread's name changes.
const QByteArray& threadPrefix()
{
    thread_local QByteArray cached;
    thread_local bool cachedHasName = false;
    thread_local QString cachedName;
    const bool hasName = platform::process::currentThreadHasName();
    const QString name = hasName ? platform::process::currentThreadName() : QString();
    if (cached.isEmpty() || hasName != cachedHasName || name != cachedName) {
        cached = __createCurrentThreadPrefixString().toUtf8();
        cachedHasName = hasName;
        cachedName = name;
    }
    return cached;
}

QByteArray buildLine(LoggingLevel level, const QString& message)
{
    const QByteArray text = message.toUtf8();
    const QByteArray identity = processIdentity();
    const QByteArray& prefix = threadPrefix();
    QByteArray line;
    line.reserve(40 + identity.size() + prefix.size() + text.size());
    line += stampOfNow(false);
    line += ' ';
    line += identity;
    line += ' ';
    line += levelTag(level);
    line += prefix;
    line += text;
    if (!line.endsWith('\n'))
        line += '\n';
    return line;
}

// Runs inside the logging queue after each line written to the file.
void checkLogFileSizeLocked()
{
    if (gLinesUntilSizeCheck > 0) {
        --gLinesUntilSizeCheck;
        return;
    }
    gLinesUntilSizeCheck = 500;
    if (_fileLength(gLogFile) <= gRolloverSize)
        return;
    QString newPath;
    try {
        newPath = __createStringByRegeneratingLogFilePath();
    } catch (const QBException&) {
        return; // the folder cannot be made again: keep writing to the old file
    }
    // File names stamp whole seconds: a file filled within the second it was
    // opened must not be reopened as its own successor.
    for (int copy = 1; QFile::exists(newPath); ++copy)
        newPath = qbFormat("%1/%2-%3-%4.log", gLogFolderPath, gProductName, createCurrentDateTimeStringForLogFileName(), copy);
    try {
        _initLogging(newPath);
    } catch (const QBException&) {
        // The old file is closed and the new one cannot be opened: file output stops.
    }
    gLinesUntilSizeCheck = 500;
}

LoggingLevel levelFromName(const QString& name, const char* which)
{
    static const char* const names[] = {"error", "normal", "verbose", "detailed"};
    for (LoggingLevel level = 0; level < 4; ++level) {
        if (name == QLatin1String(names[level]))
            return level;
    }
    throw QBException(kConfigurationFault, qbFormat("Invalid %1 logging level \"%2\"", which, name));
}

} // namespace

void _log(LoggingLevel level, const QString& message)
{
    if (!_isLogLevelVisible(level) || message.isNull())
        return;
    const QByteArray line = buildLine(level, message);
    if (fileLoggingLevel.load(std::memory_order_relaxed) >= level) {
        std::lock_guard lock(gLoggingQueue);
        if (gLogFile) {
            std::fwrite(line.constData(), 1, size_t(line.size()), gLogFile);
            if (level == kLogLevelError)
                std::fflush(gLogFile);
            checkLogFileSizeLocked();
        }
    }
    if (stdioLoggingLevel.load(std::memory_order_relaxed) >= level)
        std::fwrite(line.constData(), 1, size_t(line.size()), level == kLogLevelError ? stderr : stdout);
}

QString _initLogging(const QString& logFilePath)
{
    storeProcessIdentity();
    std::lock_guard lock(gLoggingQueue);
    gLogFilePath = logFilePath;
    if (gLogFile) {
        std::fclose(gLogFile);
        gLogFile = nullptr;
    }
    gLinesUntilSizeCheck = 0;
    if (!gLogFilePath.isNull()) {
        gLogFile = std::fopen(QFile::encodeName(gLogFilePath).constData(), "a");
        if (!gLogFile)
            throw QBException(kConfigurationFault, qbFormat("Failed to open log file \"%1\" for writing", gLogFilePath));
    }
    return gLogFilePath;
}

QString initLogging(LoggingLevel fileLevel, LoggingLevel stdoutLevel, const QString& logFilePath)
{
    storeProcessIdentity();
    fileLoggingLevel = fileLevel;
    stdioLoggingLevel = stdoutLevel;
    logVerbose("Logging (file) level %1", fileLevel);
    logVerbose("Logging (stdout) level %1", stdoutLevel);
    return _initLogging(logFilePath);
}

QString initLogging2(const QString& fileLevelStr, const QString& stdoutLevelStr, const QString& logFilePath)
{
    QB_ASSERT_TEXT(!fileLevelStr.isNull(), "fileLevelStr");
    QB_ASSERT_TEXT(!fileLevelStr.isEmpty(), "[fileLevelStr length]");
    QB_ASSERT_TEXT(!stdoutLevelStr.isNull(), "stdoutLevelStr");
    QB_ASSERT_TEXT(!stdoutLevelStr.isEmpty(), "[stdoutLevelStr length]");
    const LoggingLevel fileLevel = levelFromName(fileLevelStr, "file");
    const LoggingLevel stdoutLevel = levelFromName(stdoutLevelStr, "stdout");
    return initLogging(fileLevel, stdoutLevel, logFilePath);
}

QString initLogging3(const QString& fileLevel, const QString& stdoutLevel, const QString& logFolderPath,
                     const QString& productFamilyName, const QString& productName)
{
    QB_ASSERT_TEXT(!fileLevel.isNull(), "fileLevel");
    QB_ASSERT_TEXT(!fileLevel.isEmpty(), "[fileLevel length]");
    QB_ASSERT_TEXT(!stdoutLevel.isNull(), "stdoutLevel");
    QB_ASSERT_TEXT(!stdoutLevel.isEmpty(), "[stdoutLevel length]");
    QB_ASSERT_TEXT(!productFamilyName.isNull(), "productFamilyName");
    QB_ASSERT_TEXT(!productFamilyName.isEmpty(), "[productFamilyName length]");
    QB_ASSERT_TEXT(!productName.isNull(), "productName");
    QB_ASSERT_TEXT(!productName.isEmpty(), "[productName length]");
    QString folder = logFolderPath;
    if (folder.isNull())
        folder = qbFormat("~/Library/Logs/%1/%2", productFamilyName, productName);
    folder = platform::locations::expandTilde(folder);
    const QString path = __createLogFilePath(folder, productName);
    return initLogging2(fileLevel, stdoutLevel, path);
}

QString getLogFilePath()
{
    std::lock_guard lock(gLoggingQueue);
    return gLogFilePath;
}

void flushLogFile()
{
    std::lock_guard lock(gLoggingQueue);
    if (gLogFile)
        std::fflush(gLogFile);
}

QString _loggingLevelToString(LoggingLevel level)
{
    static const char* const names[] = {"error", "normal", "verbose", "detailed"};
    if (level > kLogLevelDetail)
        throw QBException(kConfigurationFault, qbFormat("Invalid logging level %1", level));
    return QString::fromLatin1(names[level]);
}

QString loggingLevelStrFile()
{
    return _loggingLevelToString(fileLoggingLevel);
}

QString loggingLevelStrStdio()
{
    return _loggingLevelToString(stdioLoggingLevel);
}

void setLoggingHasDateTimeStamp(bool) {}

void ensureFolderPathExists(const QString& folderPath)
{
    QB_ASSERT_TEXT(!folderPath.isNull(), "folderPath");
    QBFileManager* fileManager = __QBCurrentThreadFileManager();
    if (fileManager->fileExistsAtPath(folderPath))
        return;
    QString error;
    if (!fileManager->createDirectoryAtPath(folderPath, &error))
        throw QBException(NSGenericException, qbFormat("Failed to create \"%1\" (%2)", folderPath, error));
    logVerbose("\"%1\" subfolder missing - created it", folderPath);
}

QString __createLogFilePath(const QString& folderPath, const QString& productName)
{
    {
        std::lock_guard lock(gLoggingQueue);
        gLogFolderPath = folderPath;
        gProductName = productName;
    }
    ensureFolderPathExists(folderPath);
    return qbFormat("%1/%2-%3.log", folderPath, productName, createCurrentDateTimeStringForLogFileName());
}

QString __createStringByRegeneratingLogFilePath()
{
    std::lock_guard lock(gLoggingQueue);
    const QString currentFolder = gLogFilePath.isNull() ? QString() : QFileInfo(gLogFilePath).absolutePath();
    if (!currentFolder.isNull() && (gLogFolderPath.isNull() || QFileInfo(gLogFolderPath).absoluteFilePath() != currentFolder)) {
        // Logging was last given a whole file path: roll over beside that file.
        gLogFolderPath = currentFolder;
        gProductName = platform::process::processName();
    }
    return __createLogFilePath(gLogFolderPath, gProductName);
}

QString createCurrentDateTimeString()
{
    return QString::fromLatin1(stampOfNow(false));
}

QString createCurrentDateTimeStringForLogFileName()
{
    return QString::fromLatin1(stampOfNow(true));
}

QString __createCurrentThreadPrefixString()
{
    if (platform::process::currentThreadHasName())
        return u'[' + platform::process::currentThreadName() + QStringLiteral("] ");
    return QStringLiteral("[0x%1] ").arg(platform::process::currentThreadId(), 0, 16);
}

uint64_t _fileLength(FILE* stream)
{
    if (!stream)
        return UINT64_MAX;
    const off_t position = ftello(stream);
    fseeko(stream, 0, SEEK_END);
    const off_t length = ftello(stream);
    fseeko(stream, position, SEEK_SET);
    return uint64_t(length);
}

QString _removeNewLinesInString(const QString& text)
{
    QString result = text;
    result.remove(u'\r');
    return result;
}

void NSPrintfString(const QString& text)
{
    const QByteArray line = text.toUtf8() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
}

void NSPrintErrfString(const QString& text)
{
    std::fprintf(stderr, "%s\n", text.toUtf8().constData());
}

bool IsDebuggerPresent()
{
    return platform::process::isDebuggerPresent();
}

void __assert2(const char* expression, const char* file, int line)
{
    logError("ASSERTION ERROR: %1 (file \"%2\", line %3)", expression, file, line);
    flushLogFile();
    std::fflush(nullptr);
    if (IsDebuggerPresent())
        std::raise(SIGTRAP);
    std::abort();
}

bool QBFileManager::fileExistsAtPath(const QString& path) const
{
    return platform::files::fileExists(path);
}

bool QBFileManager::createDirectoryAtPath(const QString& path, QString* error) const
{
    return platform::files::createDirectory(path, 0777, error);
}

QBFileManager* __QBCurrentThreadFileManager()
{
    thread_local QBFileManager fileManager;
    return &fileManager;
}

void _setLogFileRolloverSizeForTesting(uint64_t bytes)
{
    std::lock_guard lock(gLoggingQueue);
    gRolloverSize = bytes;
}
