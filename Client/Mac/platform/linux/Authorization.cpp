#include "Authorization.h"

#include <QFile>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
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

class SpawnedChild final : public PrivilegedChild {
public:
    SpawnedChild(pid_t pid, int output) : m_pid(pid), m_output(output) {}
    ~SpawnedChild() override
    {
        if (m_output >= 0)
            ::close(m_output);
    }
    qint64 pid() const override { return m_pid; }
    int outputDescriptor() const override { return m_output; }
    bool waitForExit(int* waitStatus) override
    {
        int status = 0;
        pid_t got;
        do {
            got = ::waitpid(m_pid, &status, 0);
        } while (got < 0 && errno == EINTR);
        if (got != m_pid)
            return false;
        if (waitStatus)
            *waitStatus = status;
        return true;
    }

private:
    pid_t m_pid;
    int m_output;
};

// Starts argv; with `capture` the child's standard output goes to a pipe.
int32_t spawn(const QStringList& argv, bool capture, std::unique_ptr<PrivilegedChild>* child)
{
    std::vector<QByteArray> storage;
    std::vector<char*> args;
    for (const QString& arg : argv)
        storage.push_back(QFile::encodeName(arg));
    for (QByteArray& arg : storage)
        args.push_back(arg.data());
    args.push_back(nullptr);

    int pipeFds[2] = {-1, -1};
    if (capture && ::pipe2(pipeFds, O_CLOEXEC) != 0)
        return errAuthorizationToolExecuteFailure;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (capture)
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (capture)
        ::close(pipeFds[1]);
    if (rc != 0) {
        if (capture)
            ::close(pipeFds[0]);
        return errAuthorizationToolExecuteFailure;
    }
    auto spawned = std::make_unique<SpawnedChild>(pid, capture ? pipeFds[0] : -1);
    if (child)
        *child = std::move(spawned); // otherwise not waited for, as the caller asked
    return errAuthorizationSuccess;
}

class SystemSession final : public AuthorizationSession {
public:
    int32_t copyAdminRights() override
    {
        if (::geteuid() == 0)
            return errAuthorizationSuccess;
        std::unique_ptr<PrivilegedChild> child;
        if (spawn({QStringLiteral("/usr/bin/pkexec"), QStringLiteral("/bin/true")}, false, &child) != 0)
            return errAuthorizationDenied;
        int status = 0;
        if (!child->waitForExit(&status) || !WIFEXITED(status))
            return errAuthorizationInternal;
        switch (WEXITSTATUS(status)) {
        case 0:
            return errAuthorizationSuccess;
        case kPkexecDismissed:
            return errAuthorizationCanceled;
        case kPkexecNotAuthorized:
        default:
            return errAuthorizationDenied;
        }
    }

    int32_t executeWithPrivileges(const QString& tool, const QStringList& arguments, bool captureOutput,
                                  std::unique_ptr<PrivilegedChild>* child) override
    {
        QStringList argv{tool};
        argv += arguments;
        if (::geteuid() != 0)
            argv.prepend(QStringLiteral("/usr/bin/pkexec"));
        return spawn(argv, captureOutput, child);
    }
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
