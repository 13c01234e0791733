#include "Exception.h"

QBException::QBException(const QString& name, const QString& reason, const QVariantMap& userInfo)
    : m_name(name), m_reason(reason), m_userInfo(userInfo), m_what((name + QStringLiteral(": ") + reason).toUtf8())
{
}
