#pragma once
// Administrator rights. A session is one authorisation handle: it asks the
// user once (copyAdminRights) and then runs tools with administrator rights.
// The Linux service runs tools through pkexec, or directly when this process
// already runs as root. Tests replace the shared service with a fake.

#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>

namespace platform {

constexpr int32_t errAuthorizationSuccess = 0;
constexpr int32_t errAuthorizationInvalidSet = -60001;
constexpr int32_t errAuthorizationInternal = -60008;
constexpr int32_t errAuthorizationDenied = -60005;
constexpr int32_t errAuthorizationCanceled = -60006;
constexpr int32_t errAuthorizationToolExecuteFailure = -60031;

// A child started with administrator rights.
class PrivilegedChild {
public:
    virtual ~PrivilegedChild() = default;
    virtual qint64 pid() const = 0;
    // The child's standard output, or -1 when it was not captured. The child
    // keeps it; read until end of file.
    virtual int outputDescriptor() const = 0;
    // Waits for the child to end; false when the wait itself fails. The
    // status is a raw wait status (WIFEXITED, WEXITSTATUS...).
    virtual bool waitForExit(int* waitStatus) = 0;
};

class AuthorizationSession {
public:
    virtual ~AuthorizationSession() = default;
    // Asks for the administrator right, interacting with the user.
    virtual int32_t copyAdminRights() = 0;
    // Runs `tool` with `arguments` with administrator rights. When
    // `captureOutput` is true the child's standard output is a pipe readable
    // through the returned child; otherwise it inherits ours.
    virtual int32_t executeWithPrivileges(const QString& tool, const QStringList& arguments, bool captureOutput,
                                          std::unique_ptr<PrivilegedChild>* child) = 0;
};

class AuthorizationService {
public:
    virtual ~AuthorizationService() = default;
    virtual std::unique_ptr<AuthorizationSession> createSession(int32_t* status) = 0;

    // The service in use: the system's, unless a test installed another.
    static AuthorizationService& shared();
    static void setShared(AuthorizationService* service); // nullptr restores the system's
};

} // namespace platform
