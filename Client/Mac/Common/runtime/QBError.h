#pragma once
// The error value of expected failures: a domain, a code, a short failure
// reason naming the operation and a detailed description.

#include <QString>

#include <cstdint>
#include <optional>

struct QBError {
    QString domain;
    int64_t code = 0;
    QString localizedFailureReason;
    QString localizedDescription;

    // An error in the client application's own domain.
    static QBError clientError(int64_t code, const QString& failureReason, const QString& description);
};

// Operations that may fail answer no value on success.
using QBErrorResult = std::optional<QBError>;
