#pragma once
// Runs an executable and answers what it wrote to standard output, with
// failures reported as an error value in this module's own domain. One
// operation runs an ordinary child; the other runs it with administrator
// rights through an authorisation session.

#include "TaskOutputReader.h"

#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <cstdint>
#include <optional>

namespace platform {
class AuthorizationSession;
}

namespace OneLineTasksWithOutput {

inline constexpr char kErrorDomain[] = "com.apple.NSTask.OneLineTasksWithOutput";
// User-information keys.
inline constexpr char kStandardErrorKey[] = "standardError";
inline constexpr char kTerminationStatusKey[] = "terminationStatus";
inline constexpr char kLocalizedFailureReasonKey[] = "NSLocalizedFailureReason";
inline constexpr char kLocalizedDescriptionKey[] = "NSLocalizedDescription";
// The exception raised inside a run for a non-zero exit status.
inline constexpr char kProcessFailedExceptionName[] = "Process Failed";

// The run raised (a non-zero exit status included).
constexpr int32_t kErrorCodeRunFailed = -1;
// The run succeeded but the child wrote to standard error.
constexpr int32_t kErrorCodeWroteToStandardError = -2;

struct Error {
    QString domain;
    int32_t code = 0;
    QVariantMap userInfo;
};

// Runs `path` with `arguments` (no shell) and answers its whole standard
// output; null when it could not be launched or its output is not UTF-8.
// `error`, when given, receives the failure or is reset.
QString stringByLaunchingPath(const QString& path, const QStringList& arguments,
                              const TaskOutputReader::CreatedBlock& onCreated, std::optional<Error>* error);

// The same with administrator rights: the family's privileged variant. The
// root side serves no request to run an arbitrary executable, so it always
// fails as an execution failure: null, with `error` holding
// errAuthorizationToolExecuteFailure; nothing is run and `authorization` is
// not used.
QString stringByLaunchingPath(const QString& path, const QStringList& arguments,
                              platform::AuthorizationSession& authorization,
                              const TaskOutputReader::CreatedBlock& onCreated, std::optional<Error>* error);

} // namespace OneLineTasksWithOutput
