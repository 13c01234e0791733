#include "Errors.h"

#include "Logging.h"

#include <QStringList>

#include <csignal>
#include <cstring>

void __raiseException1(const QString& name, const QString& format, const QString& argument)
{
    if (IsDebuggerPresent())
        std::raise(SIGTRAP);
    throw QBException(name, qbFormat(format, argument));
}

QBException _prepareExceptionWithReason(const QBException& exception, const QString& reason)
{
    QStringList stack = exception.userInfo().value(QLatin1String(kExceptionStackKey)).toStringList();
    stack.append(qbFormat("%1 (%2)", exception.name(), exception.reason()));
    QBException prepared(exception.name(), reason, {{QLatin1String(kExceptionStackKey), stack}});
    logDetail("Preparing exception %1 (%2)", prepared.name(), prepared.reason());
    return prepared;
}

QString errorExceptionToString(const QBException& exception)
{
    QString reason = exception.reason();
    reason.remove(u'\r');
    QString text = qbFormat("%1 (%2)", exception.name(), reason);
    const QVariant stack = exception.userInfo().value(QLatin1String(kExceptionStackKey));
    if (!stack.isValid())
        return text;
    const QStringList entries = stack.toStringList();
    QString indent;
    for (auto entry = entries.crbegin(); entry != entries.crend(); ++entry) {
        indent += QStringLiteral("  ");
        if (!text.isEmpty())
            text += qbFormat("\n%1Because:\n", indent);
        text += indent + *entry;
    }
    return text;
}

void logErrorException(const QBException& exception)
{
    logError("%1", errorExceptionToString(exception));
}

QString nserrorToString(const QBError& error)
{
    return qbFormat("\"%1\" because \"%2\"", error.localizedFailureReason, error.localizedDescription);
}

void logNSError(const QBError& error)
{
    logError("Error:\n%1", nserrorToString(error));
}

QString posixErrorToString(int errorNumber)
{
    // The untranslated description, or none for a number the system does not know.
    const char* message = ::strerrordesc_np(errorNumber);
    if (!message)
        return QStringLiteral("Unknown Posix error");
    return qbFormat("Posix error %1 (%2)", errorNumber, message);
}

QBError errorFromException(const QBException& exception)
{
    return QBError::clientError(0, exception.name(), exception.reason());
}
