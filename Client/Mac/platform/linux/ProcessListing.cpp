#include "ProcessListing.h"

#include <QMutex>

namespace platform::processes {
namespace {
QMutex gLock;
QString gOverride;
} // namespace

QString commandPathListing()
{
    QMutexLocker lock(&gLock);
    return gOverride.isEmpty() ? QStringLiteral("ps ax -o exe") : gOverride;
}

void setCommandPathListing(const QString& command)
{
    QMutexLocker lock(&gLock);
    gOverride = command;
}

} // namespace platform::processes
