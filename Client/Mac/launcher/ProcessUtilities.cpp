#include "ProcessUtilities.h"

bool ProcessUtilities::quorbelCoreAlreadyRunning(const QString& processName)
{
    // Interim: the running-process check arrives with process control.
    Q_UNUSED(processName);
    return false;
}
