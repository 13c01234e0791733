#include "Logging.h"

#include "Application.h"
#include "FileManager.h"
#include "FolderWalk.h"
#include "ProcessInfo.h"
#include "SystemLocations.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QThread>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <thread>
#include <unistd.h>

namespace logging_detail {
std::atomic<LoggingLevel> fileLoggingLevel{kLogLevelNormal};
std::atomic<LoggingLevel> stdioLoggingLevel{kLogLevelNormal};
} // namespace logging_detail

using logging_detail::fileLoggingLevel;
using logging_detail::stdioLoggingLevel;

namespace {

using Clock = std::chrono::steady_clock;

// Lines at normal and error level reach the kernel before the logging call
// returns; verbose and detailed lines wait in `pending` until a line of those
// levels, a second later, the main loop waiting (for the user), a fork, exit
// or an ending signal, whichever comes first.
constexpr size_t kPendingLimit = 64 * 1024;
constexpr auto kPendingDelay = std::chrono::seconds(1);

// The logging queue: serialises the file write with the size check and the
// switch to a new file, so no line is ever written to a closed descriptor. It
// is recursive because the switch itself may log (a re-created folder).
//
// Never destroyed: the flusher thread and exit handlers use it to the end.
struct LogFile {
    std::recursive_timed_mutex queue;
    int fd = -1;
    std::string pending;
    Clock::time_point pendingSince;
    // Set with `pending` (or buffered standard-output lines) non-empty.
    std::atomic<bool> armed{false};
    std::atomic<int64_t> armedAtTicks{0};
    // The file is the null device: its lines are built, not queued or written.
    std::atomic<bool> discards{false};
};
LogFile& logFile()
{
    static LogFile* const file = new LogFile;
    return *file;
}

QString gLogFilePath;
QString gLogFolderPath;
QString gProductName;
uint64_t gLinesUntilSizeCheck = 0;
uint64_t gRolloverSize = kLogFileRolloverSize;

// Wakes the flusher thread: a zero byte arms its timer, any other byte is an
// ending signal's number. Written from signal handlers, so a plain pipe.
std::atomic<int> gWakeWrite{-1};
// The process whose flusher thread reads that pipe. A signal can reach a new
// child before its fork hook runs: the child must not wake its parent's flusher.
std::atomic<pid_t> gFlusherProcess{0};

// The first failed write says so on standard error, once: a full disk must
// not leave an empty log without a word, nor flood the terminal.
void reportWriteFailure(int error)
{
    static std::atomic<bool> reported{false};
    if (reported.exchange(true))
        return;
    const char* prefix = "The log file cannot be written: ";
    const char* reason = std::strerror(error);
    iovec parts[3] = {{const_cast<char*>(prefix), std::strlen(prefix)},
                      {const_cast<char*>(reason), std::strlen(reason)},
                      {const_cast<char*>("\n"), 1}};
    [[maybe_unused]] const ssize_t ignored = ::writev(STDERR_FILENO, parts, 3);
}

// Writes every byte of the parts, retrying interrupted and partial writes;
// errors end the attempt (a log write failure is reported once, never fatal).
void writeAll(int fd, iovec* parts, int count)
{
    while (count > 0) {
        const ssize_t written = ::writev(fd, parts, count);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            reportWriteFailure(errno);
            return;
        }
        size_t left = size_t(written);
        while (count > 0 && left >= parts->iov_len) {
            left -= parts->iov_len;
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<char*>(parts->iov_base) + left;
            parts->iov_len -= left;
        }
    }
}

// With the queue held: writes what waits, then `line` (may be empty), in one
// call so that the two never come apart.
void writeFileLocked(const char* line, size_t size)
{
    LogFile& file = logFile();
    if (file.fd < 0) {
        file.pending.clear();
        return;
    }
    iovec parts[2] = {{file.pending.data(), file.pending.size()}, {const_cast<char*>(line), size}};
    writeAll(file.fd, parts[0].iov_len ? parts : parts + 1, parts[0].iov_len ? 2 : 1);
    file.pending.clear();
}

void wakeFlusher(unsigned char byte)
{
    const int fd = gWakeWrite.load(std::memory_order_relaxed);
    if (fd >= 0) {
        [[maybe_unused]] const ssize_t ignored = ::write(fd, &byte, 1);
    }
}

void arm()
{
    LogFile& file = logFile();
    if (file.armed.exchange(true))
        return;
    file.armedAtTicks = Clock::now().time_since_epoch().count();
    wakeFlusher(0);
}

// Everything that waits, to the file and to standard output.
void flushEverything()
{
    LogFile& file = logFile();
    {
        std::lock_guard lock(file.queue);
        file.armed = false;
        if (!file.pending.empty())
            writeFileLocked(nullptr, 0);
    }
    std::fflush(stdout);
}

const int kEndingSignals[] = {SIGTERM, SIGINT, SIGHUP};

extern "C" void onEndingSignal(int signalNumber)
{
    const int savedErrno = errno;
    const int fd = ::getpid() == gFlusherProcess.load(std::memory_order_relaxed) ? gWakeWrite.load(std::memory_order_relaxed)
                                                                                 : -1;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    if (fd < 0 || ::write(fd, &byte, 1) != 1) {
        ::signal(signalNumber, SIG_DFL);
        ::raise(signalNumber);
    }
    errno = savedErrno;
}

// A handler is reset by exec, so children still die of a broken pipe as usual.
extern "C" void onBrokenPipe(int) {}

// Writes what an ending signal would lose, then ends as that signal would.
// The queue is taken with a time limit: a writer stuck on a full pipe must
// not keep the process alive.
[[noreturn]] void endBySignal(int signalNumber)
{
    LogFile& file = logFile();
    if (file.queue.try_lock_for(std::chrono::seconds(2))) {
        if (!file.pending.empty())
            writeFileLocked(nullptr, 0);
        file.queue.unlock();
    }
    ::signal(signalNumber, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signalNumber);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(signalNumber);
    std::_Exit(128 + signalNumber);
}

void flusherThread(int wakeRead)
{
    LogFile& file = logFile();
    for (;;) {
        int timeout = -1;
        if (file.armed.load()) {
            const Clock::time_point due = Clock::time_point(Clock::duration(file.armedAtTicks.load())) + kPendingDelay;
            timeout = int(
                std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count()));
        }
        pollfd wake{wakeRead, POLLIN, 0};
        const int ready = ::poll(&wake, 1, timeout);
        if (ready == 0) {
            flushEverything();
            continue;
        }
        if (ready < 0)
            continue;
        unsigned char bytes[64];
        const ssize_t got = ::read(wakeRead, bytes, sizeof bytes);
        for (ssize_t i = 0; i < got; ++i) {
            if (bytes[i] != 0)
                endBySignal(bytes[i]);
        }
    }
}

// Before a fork: nothing may wait in a buffer that the child would write again.
void beforeFork()
{
    logFile().queue.lock();
    if (!logFile().pending.empty())
        writeFileLocked(nullptr, 0);
    std::fflush(stdout);
}
void afterForkInParent()
{
    logFile().queue.unlock();
}
// The child's only thread is not the owner the lock remembers: start it
// afresh. The flusher thread stayed with the parent: a signal to the child
// must end the child, not wake the parent's flusher.
void afterForkInChild()
{
    new (&logFile().queue) std::recursive_timed_mutex;
    gWakeWrite = -1;
}

void flushAtExit()
{
    flushEverything();
}

// Once per process: the flusher thread, the signal handlers, the exit and fork hooks.
void startDurability()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction pipeAction {};
        pipeAction.sa_handler = onBrokenPipe;
        sigemptyset(&pipeAction.sa_mask);
        pipeAction.sa_flags = SA_RESTART;
        struct sigaction previous {};
        if (::sigaction(SIGPIPE, nullptr, &previous) == 0 && previous.sa_handler == SIG_DFL)
            ::sigaction(SIGPIPE, &pipeAction, nullptr);

        std::atexit(flushAtExit);
        pthread_atfork(beforeFork, afterForkInParent, afterForkInChild);

        int fds[2];
        if (!platform::process::openPipe(fds))
            return;
        // Only the writing end must never block (it is written from signal handlers).
        ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) & ~O_NONBLOCK);
        gWakeWrite = fds[1];
        gFlusherProcess = ::getpid();
        std::thread(flusherThread, fds[0]).detach();

        struct sigaction ending {};
        ending.sa_handler = onEndingSignal;
        sigemptyset(&ending.sa_mask);
        ending.sa_flags = SA_RESTART;
        for (const int signalNumber : kEndingSignals) {
            // A signal someone chose to ignore (nohup) or to handle stays theirs.
            if (::sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler == SIG_DFL)
                ::sigaction(signalNumber, &ending, nullptr);
        }
    });
}

// The main loop about to wait (for the user, mostly): what waits is written
// first. Followed again when the application object is replaced, as the
// window system does when it arrives.
void flushWhenTheMainLoopWaits()
{
    static QPointer<QAbstractEventDispatcher> followed;
    static std::once_flag followsReplacements;
    QCoreApplication* application = QCoreApplication::instance();
    if (!application || QThread::currentThread() != application->thread())
        return;
    std::call_once(followsReplacements, [] { platform::application::whenReplaced(flushWhenTheMainLoopWaits); });
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    if (!dispatcher || dispatcher == followed)
        return;
    followed = dispatcher;
    QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, [] {
        if (logFile().armed.load(std::memory_order_relaxed))
            flushEverything();
    });
}

// Process name and id printed in each line; read by every logging thread,
// each of which keeps a copy until the generation changes.
std::mutex gIdentityLock;
QByteArray gLineIdentity; // "Name[pid]"
std::atomic<unsigned> gIdentityGeneration{0};

QByteArray currentIdentity()
{
    return platform::process::processName().toUtf8() + '[' + QByteArray::number(platform::process::processIdentifier()) + ']';
}

void storeProcessIdentity()
{
    const QByteArray identity = currentIdentity();
    std::lock_guard lock(gIdentityLock);
    gLineIdentity = identity;
    gIdentityGeneration.fetch_add(1, std::memory_order_release);
}

const std::string& processIdentity()
{
    thread_local std::string cached;
    thread_local unsigned cachedGeneration = ~0u;
    const unsigned generation = gIdentityGeneration.load(std::memory_order_acquire);
    if (generation != cachedGeneration || cached.empty()) {
        std::lock_guard lock(gIdentityLock);
        if (gLineIdentity.isEmpty())
            gLineIdentity = currentIdentity();
        cached.assign(gLineIdentity.constData(), size_t(gLineIdentity.size()));
        cachedGeneration = generation;
    }
    return cached;
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

// "yyyy-MM-dd HH:mm:ss.SSSS" or "yyyy-MM-dd-HHmmss" in local time, appended
// to `out`. The calendar part is worked out once per second and thread.
void appendStampOfNow(TextBuffer& out, bool forFileName)
{
    thread_local time_t cachedSecond = -1;
    thread_local char calendar[32];
    thread_local char fileName[32];
    thread_local size_t calendarLength = 0;
    thread_local size_t fileNameLength = 0;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec != cachedSecond) {
        tm local{};
        localtime_r(&now.tv_sec, &local);
        calendarLength = std::strftime(calendar, sizeof calendar, "%Y-%m-%d %H:%M:%S", &local);
        fileNameLength = std::strftime(fileName, sizeof fileName, "%Y-%m-%d-%H%M%S", &local);
        cachedSecond = now.tv_sec;
    }
    if (forFileName) {
        out.append(fileName, fileNameLength);
        return;
    }
    char* const stamp = out.extend(calendarLength + 5);
    std::memcpy(stamp, calendar, calendarLength);
    char* const digits = stamp + calendarLength;
    digits[0] = '.';
    int fraction = int(now.tv_nsec / 100000) % 10000;
    for (int i = 4; i > 0; --i, fraction /= 10)
        digits[i] = char('0' + fraction % 10);
}

QByteArray stampOfNow(bool forFileName)
{
    TextBuffer stamp;
    appendStampOfNow(stamp, forFileName);
    return QByteArray(stamp.data(), qsizetype(stamp.size()));
}

// Counts the rebuilds of the thread's prefix.
thread_local unsigned tThreadPrefixVersion = 0;

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
        ++tThreadPrefixVersion;
        cachedHasName = hasName;
        cachedName = name;
    }
    return cached;
}

// The stamp, process, level and thread prefix that begin each line. What
// follows the stamp is kept per thread and level, and laid out again when
// the process identity or the thread's name changes.
void appendLinePrefix(TextBuffer& line, LoggingLevel level)
{
    thread_local std::string tails[kLogLevelDetail + 1];
    thread_local unsigned tailsGeneration = ~0u;
    thread_local unsigned tailsPrefixVersion = 0;
    const unsigned generation = gIdentityGeneration.load(std::memory_order_acquire);
    const QByteArray& prefix = threadPrefix();
    if (generation != tailsGeneration || tThreadPrefixVersion != tailsPrefixVersion || tails[0].empty()) {
        const std::string& identity = processIdentity();
        for (LoggingLevel each = 0; each <= kLogLevelDetail; ++each)
            tails[each] = ' ' + identity + ' ' + levelTag(each) + prefix.toStdString();
        tailsGeneration = generation;
        tailsPrefixVersion = tThreadPrefixVersion;
    }
    appendStampOfNow(line, false);
    const std::string& tail = tails[level <= kLogLevelDetail ? level : kLogLevelNormal];
    line.append(tail.data(), tail.size());
}

// Each thread builds its lines in a buffer of its own, kept between lines.
thread_local TextBuffer tLineBuffer;

// The null device keeps nothing it is given, so no line for it needs the
// queue or a system call.
bool isNullDevice(int fd)
{
    struct stat status {};
    return fd >= 0 && ::fstat(fd, &status) == 0 && S_ISCHR(status.st_mode) && status.st_rdev == makedev(1, 3);
}

// With the queue held: makes `fd` (or none, -1) the log file.
void setLogDescriptor(int fd)
{
    LogFile& file = logFile();
    file.fd = fd;
    file.discards = isNullDevice(fd);
}

// With the queue held: makes `fd` (or none, -1) the log file at `path`.
void installLogFile(int fd, const QString& path)
{
    LogFile& file = logFile();
    if (file.fd >= 0) {
        writeFileLocked(nullptr, 0);
        ::close(file.fd);
    }
    setLogDescriptor(fd);
    gLogFilePath = path;
    gLinesUntilSizeCheck = 0;
}

// A new log file in `folder`, reached by the folder walk (no link, no folder
// of another user) and created new: a name that exists, as a file or a link
// planted there, is never opened but passed over for the next copy number.
// Answers the descriptor and its path, or -1 and why.
int openNewLogFile(const QString& folder, const QString& productName, QString* path)
{
    const int folderFd = platform::folders::openFolder(QFileInfo(folder).absoluteFilePath(), true, path);
    if (folderFd < 0)
        return -1;
    const QString stamp = createCurrentDateTimeStringForLogFileName();
    int fd = -1;
    int error = EEXIST;
    for (int copy = 0; fd < 0 && error == EEXIST && copy < 1000; ++copy) {
        const QString name = copy == 0 ? qbFormat("%1-%2.log", productName, stamp)
                                       : qbFormat("%1-%2-%3.log", productName, stamp, copy);
        *path = folder + u'/' + name;
        do {
            fd = ::openat(folderFd, QFile::encodeName(name).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_APPEND | O_CLOEXEC, 0666);
        } while (fd < 0 && errno == EINTR);
        error = fd < 0 ? errno : 0;
    }
    ::close(folderFd);
    if (fd < 0)
        *path = qbFormat("Cannot create a log file in \"%1\": %2", folder, QString::fromLocal8Bit(std::strerror(error)));
    return fd;
}

// Runs inside the logging queue after each line written to the file.
void checkLogFileSizeLocked()
{
    if (gLinesUntilSizeCheck > 0) {
        --gLinesUntilSizeCheck;
        return;
    }
    gLinesUntilSizeCheck = 500;
    // Only a regular file grows: a pipe, a terminal or a device has no size to roll over.
    struct stat status {};
    if (::fstat(logFile().fd, &status) != 0 || !S_ISREG(status.st_mode) || uint64_t(status.st_size) <= gRolloverSize)
        return;
    const QString currentFolder = gLogFilePath.isNull() ? QString() : QFileInfo(gLogFilePath).absolutePath();
    if (!currentFolder.isNull()
        && (gLogFolderPath.isNull() || QFileInfo(gLogFolderPath).absoluteFilePath() != currentFolder)) {
        // Logging was last given a whole file path: roll over beside that file.
        gLogFolderPath = currentFolder;
        gProductName = platform::process::processName();
    }
    QString newPath;
    const int fd = openNewLogFile(gLogFolderPath, gProductName, &newPath);
    if (fd < 0)
        return; // the folder cannot be reached again: keep writing to the old file
    installLogFile(fd, newPath);
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

// Assertion lines of this module name it as the rest of the code knows it.
#define QB_UTILS_ASSERT(condition, text) ((condition) ? void(0) : ::__assert2((text), "Client/Mac/Common/utils", __LINE__))

namespace {

void writeLineToFile(LoggingLevel level, const TextBuffer& line)
{
    LogFile& file = logFile();
    if (fileLoggingLevel.load(std::memory_order_relaxed) < level || file.discards.load(std::memory_order_relaxed))
        return;
    std::lock_guard lock(file.queue);
    if (file.fd < 0)
        return;
    if (level <= kLogLevelNormal) {
        writeFileLocked(line.data(), line.size());
    } else {
        file.pending.append(line.data(), line.size());
        if (file.pending.size() >= kPendingLimit)
            writeFileLocked(nullptr, 0);
        else if (!file.armed.load(std::memory_order_relaxed)) // the flusher disarms under the queue
            arm();
    }
    checkLogFileSizeLocked();
}

} // namespace

void logToFileOnly(LoggingLevel level, const QString& message)
{
    if (fileLoggingLevel.load(std::memory_order_relaxed) < level || message.isNull())
        return;
    TextBuffer line;
    appendLinePrefix(line, level);
    format_detail::appendUtf8(line, message);
    if (line.back() != '\n')
        line.append('\n');
    writeLineToFile(level, line);
}

TextBuffer logging_detail::takeLine(LoggingLevel level)
{
    TextBuffer line = std::move(tLineBuffer);
    line.clear();
    appendLinePrefix(line, level);
    return line;
}

void logging_detail::emitLine(LoggingLevel level, TextBuffer&& line)
{
    if (!line.empty()) {
        if (line.back() != '\n')
            line.append('\n');
        writeLineToFile(level, line);
        if (stdioLoggingLevel.load(std::memory_order_relaxed) >= level) {
            FILE* stream = level == kLogLevelError ? stderr : stdout;
            std::fwrite(line.data(), 1, line.size(), stream);
            if (level > kLogLevelNormal)
                arm();
            else
                std::fflush(stream);
        }
    }
    tLineBuffer = std::move(line);
}

void _log(LoggingLevel level, const QString& message)
{
    if (!_isLogLevelVisible(level) || message.isNull())
        return;
    TextBuffer line = logging_detail::takeLine(level);
    format_detail::appendUtf8(line, message);
    logging_detail::emitLine(level, std::move(line));
}

QString _initLogging(const QString& logFilePath)
{
    storeProcessIdentity();
    startDurability();
    flushWhenTheMainLoopWaits();
    LogFile& file = logFile();
    std::lock_guard lock(file.queue);
    installLogFile(-1, logFilePath);
    if (!gLogFilePath.isNull()) {
        // The caller names this very file (a pipe, a terminal, a file of its
        // own): it is opened as named. Close-on-exec: no child of ours may hold the log open.
        int fd = -1;
        do {
            fd = ::open(QFile::encodeName(gLogFilePath).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
        } while (fd < 0 && errno == EINTR);
        setLogDescriptor(fd);
        if (fd < 0)
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
    QB_UTILS_ASSERT(!fileLevelStr.isNull(), "fileLevelStr");
    QB_UTILS_ASSERT(!fileLevelStr.isEmpty(), "[fileLevelStr length]");
    QB_UTILS_ASSERT(!stdoutLevelStr.isNull(), "stdoutLevelStr");
    QB_UTILS_ASSERT(!stdoutLevelStr.isEmpty(), "[stdoutLevelStr length]");
    const LoggingLevel fileLevel = levelFromName(fileLevelStr, "file");
    const LoggingLevel stdoutLevel = levelFromName(stdoutLevelStr, "stdout");
    return initLogging(fileLevel, stdoutLevel, logFilePath);
}

QString initLogging3(const QString& fileLevel, const QString& stdoutLevel, const QString& logFolderPath,
                     const QString& productFamilyName, const QString& productName)
{
    QB_UTILS_ASSERT(!fileLevel.isNull(), "fileLevel");
    QB_UTILS_ASSERT(!fileLevel.isEmpty(), "[fileLevel length]");
    QB_UTILS_ASSERT(!stdoutLevel.isNull(), "stdoutLevel");
    QB_UTILS_ASSERT(!stdoutLevel.isEmpty(), "[stdoutLevel length]");
    QB_UTILS_ASSERT(!productFamilyName.isNull(), "productFamilyName");
    QB_UTILS_ASSERT(!productFamilyName.isEmpty(), "[productFamilyName length]");
    QB_UTILS_ASSERT(!productName.isNull(), "productName");
    QB_UTILS_ASSERT(!productName.isEmpty(), "[productName length]");
    QString folder = logFolderPath;
    if (folder.isNull())
        folder = qbFormat("~/Library/Logs/%1/%2", productFamilyName, productName);
    folder = QDir::cleanPath(platform::locations::expandTilde(folder));
    initLogging2(fileLevel, stdoutLevel, QString());
    LogFile& file = logFile();
    std::lock_guard lock(file.queue);
    gLogFolderPath = folder;
    gProductName = productName;
    QString path;
    const int fd = openNewLogFile(folder, productName, &path);
    if (fd < 0)
        throw QBException(kConfigurationFault, qbFormat("Refusing the log folder \"%1\": %2", folder, path));
    installLogFile(fd, path);
    return gLogFilePath;
}

QString getLogFilePath()
{
    std::lock_guard lock(logFile().queue);
    return gLogFilePath;
}

void flushLogFile()
{
    flushEverything();
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
    QB_UTILS_ASSERT(!folderPath.isNull(), "folderPath");
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
        std::lock_guard lock(logFile().queue);
        gLogFolderPath = folderPath;
        gProductName = productName;
    }
    ensureFolderPathExists(folderPath);
    return qbFormat("%1/%2-%3.log", folderPath, productName, createCurrentDateTimeStringForLogFileName());
}

QString __createStringByRegeneratingLogFilePath()
{
    std::lock_guard lock(logFile().queue);
    const QString currentFolder = gLogFilePath.isNull() ? QString() : QFileInfo(gLogFilePath).absolutePath();
    if (!currentFolder.isNull()
        && (gLogFolderPath.isNull() || QFileInfo(gLogFolderPath).absoluteFilePath() != currentFolder)) {
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

QString escapedForLog(const QString& text)
{
    QString result;
    result.reserve(text.size());
    for (const QChar c : text) {
        const char16_t code = c.unicode();
        if (code == u'\\')
            result += QStringLiteral("\\\\");
        else if (code < 0x20 || (code >= 0x7f && code <= 0x9f) || code == 0x2028 || code == 0x2029)
            result += QStringLiteral("\\x{%1}").arg(uint(code), 0, 16);
        else
            result += c;
    }
    return result;
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
    std::lock_guard lock(logFile().queue);
    gRolloverSize = bytes;
}
