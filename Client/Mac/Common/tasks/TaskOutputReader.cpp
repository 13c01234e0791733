#include "TaskOutputReader.h"

#include "Exception.h"
#include "Logging.h"
#include "ProcessInfo.h"

#include <QAbstractEventDispatcher>
#include <QProcess>
#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr qint64 kReadChunkSize = 65536;

void closeDescriptor(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

TaskOutputReader::TaskOutputReader(QProcess& task) : m_task(task)
{
    m_slice.setSingleShot(true);
    m_slice.setInterval(kRunSliceMilliseconds);
    connect(&m_slice, &QTimer::timeout, &m_loop, &QEventLoop::quit);
    connect(&m_task, &QProcess::finished, this, &TaskOutputReader::terminatedNotification);
    prepareStreams();
}

TaskOutputReader::~TaskOutputReader()
{
    closeStream(m_out);
    closeStream(m_err);
}

void TaskOutputReader::prepareStreams()
{
    for (Stream* stream : {&m_out, &m_err}) {
        int fds[2];
        if (!platform::process::openPipe(fds))
            continue; // reported when the task is started
        // Only our end is non-blocking: the child gets an ordinary pipe.
        ::fcntl(fds[1], F_SETFL, ::fcntl(fds[1], F_GETFL) & ~O_NONBLOCK);
        stream->readFd = fds[0];
        stream->writeFd = fds[1];
    }
    if (m_out.readFd < 0 || m_err.readFd < 0)
        return;
    m_out.notifier = std::make_unique<QSocketNotifier>(m_out.readFd, QSocketNotifier::Read);
    m_err.notifier = std::make_unique<QSocketNotifier>(m_err.readFd, QSocketNotifier::Read);
    connect(m_out.notifier.get(), &QSocketNotifier::activated, this, &TaskOutputReader::standardOutNotification);
    connect(m_err.notifier.get(), &QSocketNotifier::activated, this, &TaskOutputReader::standardErrorNotification);

    // The child's standard streams become the write ends; runs in the child
    // between fork and exec, so only async-signal-safe calls.
    const int outFd = m_out.writeFd;
    const int errFd = m_err.writeFd;
    m_task.setProcessChannelMode(QProcess::ForwardedChannels);
    m_task.setInputChannelMode(QProcess::ForwardedInputChannel);
    m_task.setChildProcessModifier([outFd, errFd] {
        ::dup2(outFd, STDOUT_FILENO);
        ::dup2(errFd, STDERR_FILENO);
    });
}

void TaskOutputReader::startTask()
{
    if (m_out.readFd < 0 || m_err.readFd < 0)
        throw QBException(QStringLiteral("NSInternalInconsistencyException"),
                          qbFormat("Cannot create pipes for the task (%1)", QString::fromLocal8Bit(strerror(errno))));
    if (!QAbstractEventDispatcher::instance())
        throw QBException(QStringLiteral("NSInternalInconsistencyException"),
                          QStringLiteral("The calling thread has no event loop to run the task on"));
    m_task.start();
    const bool started = m_task.waitForStarted(-1);
    // The child holds its copies; ours must go so that end of file can come.
    closeDescriptor(m_out.writeFd);
    closeDescriptor(m_err.writeFd);
    m_launched = started;
    if (!started)
        throw QBException(QStringLiteral("NSInvalidArgumentException"),
                          qbFormat("Cannot launch \"%1\" (%2)", m_task.program(), m_task.errorString()));
}

void TaskOutputReader::launchTaskAndRunSynchronous(const CreatedBlock& block)
{
    startTask();
    const auto pid = static_cast<int32_t>(m_task.processId());
    logDetail("Launched process %1", pid);
    if (pid == 0)
        __assert2("pid", "Client/Mac/Common/NSTask+OneLineTasksWithOutput", 184);
    if (block)
        block(pid);
    while (!isRunFinished()) {
        m_slice.start();
        m_loop.exec();
        m_slice.stop();
    }
}

bool TaskOutputReader::isRunFinished() const
{
    return m_taskComplete && m_outputClosed && m_errorClosed;
}

void TaskOutputReader::quitLoopIfFinished()
{
    if (isRunFinished())
        m_loop.quit();
}

bool TaskOutputReader::drain(Stream& stream, QByteArray& buffer)
{
    for (;;) {
        const qsizetype oldSize = buffer.size();
        buffer.resize(oldSize + kReadChunkSize);
        const ssize_t got = ::read(stream.readFd, buffer.data() + oldSize, kReadChunkSize);
        buffer.resize(oldSize + qMax<ssize_t>(got, 0));
        if (got > 0)
            continue;
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true; // all that is available for now
        if (got < 0)
            logError("Reading the output of process %1 failed (%2)", m_task.processId(),
                     QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
}

void TaskOutputReader::closeStream(Stream& stream)
{
    stream.notifier.reset();
    closeDescriptor(stream.readFd);
    closeDescriptor(stream.writeFd);
}

void TaskOutputReader::standardOutNotification()
{
    if (drain(m_out, m_standardOutput))
        return;
    closeStream(m_out);
    m_outputClosed = true;
    quitLoopIfFinished();
}

void TaskOutputReader::standardErrorNotification()
{
    if (drain(m_err, m_standardError))
        return;
    closeStream(m_err);
    m_errorClosed = true;
    quitLoopIfFinished();
}

void TaskOutputReader::terminatedNotification()
{
    m_taskComplete = true;
    quitLoopIfFinished();
}
