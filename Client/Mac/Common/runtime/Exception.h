#pragma once
// The exception type of the shared code: a name, a reason and user
// information, which may carry under "stack" the chain of earlier exceptions.

#include <QString>
#include <QVariantMap>

#include <exception>

inline const char* const kConfigurationFault = "Configuration Fault";
inline const char* const NSGenericException = "NSGenericException";

class QBException : public std::exception {
public:
    QBException(const QString& name, const QString& reason, const QVariantMap& userInfo = {});

    const QString& name() const { return m_name; }
    const QString& reason() const { return m_reason; }
    const QVariantMap& userInfo() const { return m_userInfo; }
    const char* what() const noexcept override { return m_what.constData(); }

private:
    QString m_name;
    QString m_reason;
    QVariantMap m_userInfo;
    QByteArray m_what;
};
