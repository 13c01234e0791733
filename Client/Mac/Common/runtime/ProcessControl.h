#pragma once
// Querying, quitting and launching applications by bundle identifier.

#include "QBError.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>

// Pauses the calling thread for the given number of seconds.
using SleepFunction = std::function<void(double seconds)>;

bool isApplicationRunning(const QString& bundleIdentifier);

// Asks the application to quit and, when `wait` is set, polls with growing
// pauses (0.25 s, growing by half, at most 2 s) until it has gone or the
// pauses would pass `timeout` seconds: error -3. No value when it quit, was
// not running, or `wait` is off. Errors -1 and -2 mean the request itself
// failed. `sleep` does the pausing (tests pass one that does not wait).
QBErrorResult quitApplication(const QString& bundleIdentifier, bool wait, double timeout);
QBErrorResult quitApplication(const QString& bundleIdentifier, bool wait, double timeout, const SleepFunction& sleep);

// Launches the known bundle with this identifier.
QBErrorResult launchApplication(const QString& bundleIdentifier);

// The kernel's number of the calling thread.
uint32_t currentThreadId();

// No application paths are known.
QStringList pathsToApplication();
