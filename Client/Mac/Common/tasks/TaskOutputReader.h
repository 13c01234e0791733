#pragma once
// Runs one child process to completion on the calling thread's event loop and
// keeps everything it writes to standard output and standard error. The run
// ends only when the child has ended and both streams have reached end of
// file, so a grandchild that still holds a stream keeps the run going and its
// output is kept as well.

#include <QByteArray>
#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>

class QProcess;
class QSocketNotifier;

class TaskOutputReader : public QObject {
public:
    // Called with the child's process identifier once it runs.
    using CreatedBlock = std::function<void(int32_t pid)>;

    // `task` has its program and arguments set and is not started; it must
    // outlive the reader. The reader gives the child its own two pipes.
    explicit TaskOutputReader(QProcess& task);
    ~TaskOutputReader() override;
    TaskOutputReader(const TaskOutputReader&) = delete;
    TaskOutputReader& operator=(const TaskOutputReader&) = delete;

    // Starts the task and returns when it has ended and both streams are
    // closed. Throws QBException when the task cannot be started.
    void launchTaskAndRunSynchronous(const CreatedBlock& block);

    QByteArray& standardOutputData() { return m_standardOutput; }
    QByteArray& standardErrorData() { return m_standardError; }
    bool taskComplete() const { return m_taskComplete; }
    bool outputClosed() const { return m_outputClosed; }
    bool errorClosed() const { return m_errorClosed; }
    // Whether the task was started at all.
    bool launched() const { return m_launched; }

    // The longest the event loop runs before the reader looks at its flags.
    static constexpr int kRunSliceMilliseconds = 5000;

private:
    struct Stream {
        int readFd = -1;
        int writeFd = -1;
        std::unique_ptr<QSocketNotifier> notifier;
    };

    void standardOutNotification();
    void standardErrorNotification();
    void terminatedNotification();
    // Appends what `stream` has to offer; answers false at end of file.
    bool drain(Stream& stream, QByteArray& buffer);
    void closeStream(Stream& stream);
    void prepareStreams();
    void startTask();
    bool isRunFinished() const;
    void quitLoopIfFinished();

    QByteArray m_standardOutput;
    QByteArray m_standardError;
    bool m_taskComplete = false;
    bool m_outputClosed = false;
    bool m_errorClosed = false;
    bool m_launched = false;
    QProcess& m_task;

    Stream m_out;
    Stream m_err;
    QEventLoop m_loop;
    QTimer m_slice;
};
