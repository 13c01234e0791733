#include "Authorization.h"

#include "Bundle.h"
#include "PathChecks.h"
#include "helper/PrivilegedRequests.h"

#include <QFile>
#include <QMutex>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/auxv.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace platform {
namespace {

// pkexec's own exit statuses: the user dismissed the dialog, or no
// authorisation could be had (not allowed, no agent, no polkit).
constexpr int kPkexecDismissed = 126;
constexpr int kPkexecNotAuthorized = 127;
const char* const kHelperName = "quorbel-authhelper";

QString pkexecPath()
{
#ifdef QB_TEST_HOOKS
    // Test builds may stand a counting program in for pkexec.
    if (getauxval(AT_SECURE) == 0) {
        const QString chosen = qEnvironmentVariable("QUORBEL_PKEXEC");
        if (!chosen.isEmpty())
            return chosen;
    }
#endif
    return QStringLiteral("/usr/bin/pkexec");
}

bool writeAll(int fd, const QByteArray& bytes)
{
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + written, static_cast<size_t>(bytes.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        written += n;
    }
    return true;
}

// Buffered reads of the helper's answers.
class AnswerReader {
public:
    explicit AnswerReader(int fd) : m_fd(fd) {}
    bool readLine(QByteArray* line)
    {
        for (;;) {
            const qsizetype end = m_buffer.indexOf('\n');
            if (end >= 0) {
                *line = m_buffer.left(end);
                m_buffer.remove(0, end + 1);
                return true;
            }
            if (!fill())
                return false;
        }
    }
    bool readBytes(qsizetype count, QByteArray* bytes)
    {
        while (m_buffer.size() < count) {
            if (!fill())
                return false;
        }
        *bytes = m_buffer.left(count);
        m_buffer.remove(0, count);
        return true;
    }

private:
    bool fill()
    {
        char chunk[4096];
        for (;;) {
            const ssize_t got = ::read(m_fd, chunk, sizeof chunk);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return false;
            m_buffer.append(chunk, got);
            return true;
        }
    }
    int m_fd;
    QByteArray m_buffer;
};

class SystemSession final : public AuthorizationSession {
public:
    ~SystemSession() override { endHelper(); }

    int32_t copyAdminRights() override
    {
        QMutexLocker lock(&m_lock);
        if (m_inProcess || m_helper > 0)
            return errAuthorizationSuccess;
        if (::geteuid() == 0) {
            m_inProcess = true;
            return errAuthorizationSuccess;
        }
        const QString helper = Bundle::mainBundle().bundlePath() + QStringLiteral("/Contents/MacOS/")
                               + QLatin1String(kHelperName);
        const int32_t started = startHelper(helper);
        if (started != errAuthorizationSuccess)
            return started;
        QByteArray line;
        if (m_answers->readLine(&line) && line == "ready")
            return errAuthorizationSuccess;
        // No helper came up: pkexec's status tells a dismissal from a refusal.
        ::close(m_toHelper);
        m_toHelper = -1;
        const int status = reapHelper();
        if (WIFEXITED(status) && WEXITSTATUS(status) == kPkexecDismissed)
            return errAuthorizationCanceled;
        if (WIFEXITED(status) && WEXITSTATUS(status) == kPkexecNotAuthorized)
            return errAuthorizationDenied;
        return errAuthorizationDenied;
    }

    int32_t perform(const QStringList& request, PrivilegedOutcome* outcome) override
    {
        QMutexLocker lock(&m_lock);
        *outcome = PrivilegedOutcome();
        for (const QString& field : request) {
            if (paths::hasControlCharacter(field)) {
                outcome->reason = QStringLiteral("refusing a request holding a control character");
                return errAuthorizationSuccess;
            }
        }
        if (m_inProcess)
            return performInProcess(request, outcome);
        if (m_helper <= 0)
            return errAuthorizationInvalidSet;
        QByteArray line;
        for (const QString& field : request) {
            if (!line.isEmpty())
                line += '\t';
            line += QFile::encodeName(field);
        }
        line += '\n';
        m_stopAsked = false;
        if (!writeAll(m_toHelper, line))
            return errAuthorizationToolExecuteFailure;
        for (;;) {
            QByteArray answer;
            if (!m_answers->readLine(&answer))
                return errAuthorizationToolExecuteFailure;
            const QList<QByteArray> fields = answer.split('\t');
            if (fields.first() == "output" && fields.size() == 2) {
                QByteArray bytes;
                if (!m_answers->readBytes(fields.at(1).toLongLong(), &bytes))
                    return errAuthorizationToolExecuteFailure;
                outcome->output += bytes;
            } else if (fields.first() == "ok" && fields.size() == 3) {
                outcome->done = true;
                outcome->waitStatus = fields.at(1).toInt();
                outcome->timedOut = fields.at(2) == "timeout";
                outcome->stopped = fields.at(2) == "stopped";
                return errAuthorizationSuccess;
            } else if (fields.first() == "fail") {
                outcome->reason = QString::fromUtf8(answer.mid(5));
                return errAuthorizationSuccess;
            } else {
                return errAuthorizationInternal;
            }
        }
    }

    void stopRunningTool() override
    {
        m_stopAsked = true;
        const int fd = m_toHelper;
        if (fd >= 0)
            writeAll(fd, "stop\n");
    }

private:
    static bool stopCheck(void* context) { return static_cast<SystemSession*>(context)->m_stopAsked.load(); }

    int32_t performInProcess(const QStringList& request, PrivilegedOutcome* outcome)
    {
        std::vector<std::string> fields;
        for (const QString& field : request)
            fields.push_back(QFile::encodeName(field).toStdString());
        m_stopAsked = false;
        const privileged::Result result = privileged::perform(fields, ::getuid(), &SystemSession::stopCheck, this);
        outcome->done = result.ok;
        outcome->waitStatus = result.waitStatus;
        outcome->timedOut = result.timedOut;
        outcome->stopped = result.stopped;
        outcome->output = QByteArray::fromStdString(result.output);
        outcome->reason = QString::fromStdString(result.reason);
        return errAuthorizationSuccess;
    }

    int32_t startHelper(const QString& helper)
    {
        int input[2] = {-1, -1};
        int output[2] = {-1, -1};
        if (::pipe2(input, O_CLOEXEC) != 0)
            return errAuthorizationInternal;
        if (::pipe2(output, O_CLOEXEC) != 0) {
            ::close(input[0]);
            ::close(input[1]);
            return errAuthorizationInternal;
        }
        const QByteArray program = QFile::encodeName(pkexecPath());
        const QByteArray helperPath = QFile::encodeName(helper);
        char* argv[] = {const_cast<char*>(program.constData()), const_cast<char*>(helperPath.constData()), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
        pid_t pid = -1;
        const int rc = ::posix_spawn(&pid, program.constData(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(input[0]);
        ::close(output[1]);
        if (rc != 0) {
            ::close(input[1]);
            ::close(output[0]);
            return errAuthorizationDenied;
        }
        m_helper = pid;
        m_toHelper = input[1];
        m_fromHelper = output[0];
        m_answers = std::make_unique<AnswerReader>(m_fromHelper);
        return errAuthorizationSuccess;
    }

    int reapHelper()
    {
        int status = 0;
        if (m_helper > 0) {
            while (::waitpid(m_helper, &status, 0) < 0 && errno == EINTR) {}
        }
        m_helper = -1;
        if (m_fromHelper >= 0)
            ::close(m_fromHelper);
        m_fromHelper = -1;
        m_answers.reset();
        return status;
    }

    // Closing its input ends the helper once the request in hand is done.
    void endHelper()
    {
        QMutexLocker lock(&m_lock);
        if (m_toHelper >= 0)
            ::close(m_toHelper);
        m_toHelper = -1;
        reapHelper();
    }

    QMutex m_lock;
    bool m_inProcess = false;
    pid_t m_helper = -1;
    std::atomic<int> m_toHelper{-1};
    int m_fromHelper = -1;
    std::unique_ptr<AnswerReader> m_answers;
    std::atomic<bool> m_stopAsked{false};
};

class SystemService final : public AuthorizationService {
public:
    std::unique_ptr<AuthorizationSession> createSession(int32_t* status) override
    {
        if (status)
            *status = errAuthorizationSuccess;
        return std::make_unique<SystemSession>();
    }
};

std::atomic<AuthorizationService*> gOverride{nullptr};

} // namespace

bool PrivilegedOutcome::toolSucceeded() const
{
    return done && !timedOut && !stopped && WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 0;
}

bool identifyBundle(const QString& path, BundleIdentity* identity)
{
    privileged::Identity found;
    if (!privileged::identify(QFile::encodeName(path).toStdString(), &found))
        return false;
    identity->identifier = QString::fromStdString(found.identifier);
    identity->device = found.device;
    identity->inode = found.inode;
    return true;
}

bool isSafeToExecuteAsRoot(const QString& path, QString* why)
{
    std::string reason;
    const bool safe = privileged::isRootOnlyExecutable(QFile::encodeName(path).toStdString(), &reason);
    if (why)
        *why = QString::fromStdString(reason);
    return safe;
}

bool isRootOnlyFolder(const QString& folder)
{
    return privileged::isRootOnlyFolderChain(QFile::encodeName(folder).toStdString(), nullptr);
}

bool removeBundleWithOwnRights(const QString& path, QString* why)
{
    if (paths::hasControlCharacter(path)) {
        *why = QStringLiteral("the path holds a control character");
        return false;
    }
    const privileged::Result result = privileged::removeBundleIn(QFile::encodeName(path).toStdString(),
                                                                 privileged::Identity(), false);
    *why = QString::fromStdString(result.reason);
    return result.ok;
}

QString AuthorizationSession::applicationsFolder() const
{
    return QString::fromLatin1(privileged::kApplicationsFolder);
}

int32_t AuthorizationSession::removeBundle(const QString& path, const BundleIdentity& recorded, PrivilegedOutcome* outcome)
{
    return perform({QStringLiteral("remove"), path, recorded.identifier, QString::number(recorded.device),
                    QString::number(recorded.inode)},
                   outcome);
}

int32_t AuthorizationSession::installBundle(const QString& source, const QString& folder, const QString& bundleName,
                                            PrivilegedOutcome* outcome)
{
    return perform({QStringLiteral("install"), source, folder, bundleName}, outcome);
}

int32_t AuthorizationSession::runUpdateTool(const QStringList& arguments, int limitSeconds, PrivilegedOutcome* outcome)
{
    return perform(QStringList{QStringLiteral("updatetool"), QString::number(limitSeconds)} + arguments, outcome);
}

int32_t AuthorizationSession::runExecutable(const QString& path, const QStringList& arguments, PrivilegedOutcome* outcome)
{
    return perform(QStringList{QStringLiteral("run"), path} + arguments, outcome);
}

AuthorizationService& AuthorizationService::shared()
{
    static SystemService system;
    AuthorizationService* service = gOverride.load();
    return service ? *service : system;
}

void AuthorizationService::setShared(AuthorizationService* service)
{
    gOverride = service;
}

} // namespace platform
