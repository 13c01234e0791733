#include "UUIDString.h"

#include <QUuid>

QString UUIDString()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}
