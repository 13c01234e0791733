#include "QBError.h"

#include "Configuration.h"

QBError QBError::clientError(int64_t code, const QString& failureReason, const QString& description)
{
    return {QString::fromLatin1(kClientErrorDomain), code, failureReason, description};
}
