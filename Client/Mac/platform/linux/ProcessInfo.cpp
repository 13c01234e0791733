#include "ProcessInfo.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <sys/auxv.h>
#include <sys/syscall.h>
#include <unistd.h>

// glibc's own assertion routine (declared by <assert.h> only without NDEBUG):
// a failure reported the way the standard assert reports it, in every build.
extern "C" void __assert_fail(const char* assertion, const char* file, unsigned int line, const char* function) noexcept
    __attribute__((__noreturn__));

namespace platform::process {
namespace {
thread_local std::optional<QString> tThreadName;
}

int processIdentifier()
{
    return int(::getpid());
}

QString processName()
{
    return QString::fromLocal8Bit(program_invocation_short_name);
}

uint64_t currentThreadId()
{
    thread_local const uint64_t id = uint64_t(::syscall(SYS_gettid));
    return id;
}

bool currentThreadHasName()
{
    return tThreadName.has_value();
}

QString currentThreadName()
{
    return tThreadName.value_or(QString());
}

void setCurrentThreadName(const QString& name)
{
    tThreadName = name;
}

bool isDebuggerPresent()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    while (!status.atEnd()) {
        const QByteArray line = status.readLine();
        if (line.startsWith("TracerPid:"))
            return line.mid(10).trimmed().toLongLong() != 0;
    }
    return false;
}

void stopPointForTests(const char* point)
{
#ifdef QB_TEST_HOOKS
    if (getauxval(AT_SECURE) == 0 && qEnvironmentVariable("QUORBEL_STOP_AT") == QLatin1String(point))
        ::raise(SIGSTOP);
#else
    (void)point;
#endif
}

bool startedWithElevatedRights()
{
    return ::getauxval(AT_SECURE) != 0;
}

void failAssertion(const char* assertion, const char* file, unsigned int line, const char* function) noexcept
{
    __assert_fail(assertion, file, line, function);
}

bool openPipe(int fds[2])
{
    return ::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0;
}

} // namespace platform::process
