#include "NSTask+OneLineTasksWithOutput.h"

#include "Authorization.h"
#include "Exception.h"
#include "Logging.h"

#include <QDir>
#include <QProcess>
#include <QStringDecoder>

namespace OneLineTasksWithOutput {
namespace {

QString key(const char* name)
{
    return QString::fromLatin1(name);
}

// Strict UTF-8: null for bytes that are not UTF-8, empty (not null) for none.
QString decodeStrictUtf8(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return {};
    return text.isNull() ? QStringLiteral("") : text;
}

// A launch path names a file, never a command to look up: a bare name is
// taken from the current folder, as the path says. Left to the process
// starter, a name without a slash would be searched for in PATH and some
// other program of that name could run (with administrator rights, too).
QString launchPathOf(const QString& path)
{
    if (path.isEmpty() || QDir::isAbsolutePath(path))
        return path;
    return QDir::current().absoluteFilePath(path);
}

struct RunOutcome {
    QString output;
    QString errorText;
    int32_t status = 0;
};

void runGuarded(QProcess& task, TaskOutputReader& reader, const TaskOutputReader::CreatedBlock& onCreated, RunOutcome& outcome)
{
    reader.launchTaskAndRunSynchronous(onCreated);
    outcome.output = decodeStrictUtf8(reader.standardOutputData());
    if (outcome.output.isNull())
        logError("The output of \"%1\" is not UTF-8 text (%2 bytes)", task.program(), reader.standardOutputData().size());
    // Lenient, so that anything written to standard error is still reported.
    outcome.errorText = QString::fromUtf8(reader.standardErrorData());
    outcome.status = task.exitCode();
    if (outcome.status != 0)
        throw QBException(key(kProcessFailedExceptionName), qbFormat("Task terminationStatus was %1", outcome.status));
}

Error runFailedError(const QBException& exception, const RunOutcome& outcome)
{
    Error error{key(kErrorDomain), kErrorCodeRunFailed, {}};
    if (!outcome.errorText.isEmpty())
        error.userInfo.insert(key(kStandardErrorKey), outcome.errorText);
    error.userInfo.insert(key(kLocalizedFailureReasonKey), exception.name());
    error.userInfo.insert(key(kLocalizedDescriptionKey), exception.reason());
    error.userInfo.insert(key(kTerminationStatusKey), outcome.status);
    return error;
}

} // namespace

QString stringByLaunchingPath(const QString& path, const QStringList& arguments,
                              const TaskOutputReader::CreatedBlock& onCreated, std::optional<Error>* error)
{
    QProcess task;
    task.setProgram(launchPathOf(path));
    task.setArguments(arguments);
    TaskOutputReader reader(task);
    RunOutcome outcome;
    try {
        runGuarded(task, reader, onCreated, outcome);
    } catch (const QBException& exception) {
        outcome.status = reader.launched() ? task.exitCode() : 0;
        if (error)
            *error = runFailedError(exception, outcome);
        return outcome.output;
    }
    if (error) {
        if (!outcome.errorText.isEmpty())
            *error = Error{key(kErrorDomain),
                           kErrorCodeWroteToStandardError,
                           {{key(kStandardErrorKey), outcome.errorText}, {key(kTerminationStatusKey), outcome.status}}};
        else
            error->reset();
    }
    return outcome.output;
}

QString stringByLaunchingPath(const QString& path, const QStringList&, platform::AuthorizationSession&,
                              const TaskOutputReader::CreatedBlock&, std::optional<Error>* error)
{
    // The root side runs no arbitrary executable: no caller has a fixed list
    // of exact executables and argument shapes, so there is no request for one.
    logError("Not running \"%1\" with administrator rights: no privileged task runner exists", path);
    if (error)
        *error = Error{key(kErrorDomain), platform::errAuthorizationToolExecuteFailure, {}};
    return {};
}

} // namespace OneLineTasksWithOutput
