#pragma once
// Texts of exceptions, errors and POSIX error numbers for the log, chained
// exceptions and the conversion of an exception into an error value.

#include "Exception.h"
#include "Format.h"
#include "QBError.h"

#include <QString>

// Key of the user information that holds the chain of earlier exceptions,
// oldest first, each as "name (reason)".
inline constexpr char kExceptionStackKey[] = "stack";

// Stops in an attached debugger, then throws a QBException named `name`
// whose reason is `format` filled with `argument`.
[[noreturn]] void __raiseException1(const QString& name, const QString& format, const QString& argument);

// A new exception, not thrown: the name of `exception`, the reason made from
// `reason`, and `exception` appended to the chain it carried.
QBException _prepareExceptionWithReason(const QBException& exception, const QString& reason);
template <typename... Args>
QBException prepareException(const QBException& exception, const QString& format, const Args&... args)
{
    return _prepareExceptionWithReason(exception, qbFormat(format, args...));
}

// "name (reason)" and then, newest cause first, each earlier exception
// under an indented "Because:".
QString errorExceptionToString(const QBException& exception);
void logErrorException(const QBException& exception);

// "\"failure reason\" because \"description\"".
QString nserrorToString(const QBError& error);
void logNSError(const QBError& error);

// "Posix error 2 (No such file or directory)", or "Unknown Posix error".
QString posixErrorToString(int errorNumber);

// Code 0 in the client's domain; the failure reason is the exception's name
// and the description its reason.
QBError errorFromException(const QBException& exception);
