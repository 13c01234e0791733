#include "ProcessControl.h"

#include "Bundle.h"
#include "Logging.h"
#include "ProcessInfo.h"
#include "Workspace.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

namespace {

const QString kQuitFailed = QStringLiteral("quitApplication failed");
const QString kLaunchFailed = QStringLiteral("launchApplication failed");

void sleepForSeconds(double seconds)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

int64_t wholeSeconds(double seconds)
{
    return int64_t(std::clamp(seconds, -9.0e18, 9.0e18));
}

// Polls until the application has gone; false when the pauses reached the time-out.
bool waitForQuit(const QString& bundleIdentifier, double timeout, const SleepFunction& sleep)
{
    double elapsed = 0;
    double pause = 0.25;
    for (;;) {
        sleep(pause);
        if (elapsed + pause >= timeout)
            return false;
        elapsed += pause;
        pause = std::min(2.0, pause * 1.5);
        logVerbose("Waiting for app with id \"%1\" to quit", bundleIdentifier);
        if (!isApplicationRunning(bundleIdentifier))
            return true;
    }
}

} // namespace

bool isApplicationRunning(const QString& bundleIdentifier)
{
    // An application without an identifier matches nothing.
    if (bundleIdentifier.isEmpty())
        return false;
    const auto applications = platform::workspace::launchedApplications();
    return std::any_of(applications.cbegin(), applications.cend(),
                       [&](const platform::RunningApplication& app) { return app.bundleIdentifier == bundleIdentifier; });
}

QBErrorResult quitApplication(const QString& bundleIdentifier, bool wait, double timeout)
{
    return quitApplication(bundleIdentifier, wait, timeout, sleepForSeconds);
}

QBErrorResult quitApplication(const QString& bundleIdentifier, bool wait, double timeout, const SleepFunction& sleep)
{
    if (std::isnan(timeout)) // would never be reached
        timeout = 0;
    if (!isApplicationRunning(bundleIdentifier)) {
        logVerbose("Not requesting app with id \"%1\" to quit because it isn't running", bundleIdentifier);
        return std::nullopt;
    }
    logVerbose("Requesting app with id \"%1\" to quit...", bundleIdentifier);
    // The request is addressed by identifier and needs no building here, so
    // error -1 cannot happen; a signal that cannot be sent is error -2.
    const int32_t sent = platform::workspace::quitApplication(bundleIdentifier);
    if (sent != 0) {
        QBError error = QBError::clientError(
            -2, kQuitFailed,
            qbFormat("Request to quit app wth id \"%1\" failed (AESendMessage failed with error %2)", bundleIdentifier, sent));
        logVerbose("%1", error.localizedDescription);
        return error;
    }
    logVerbose("Requested app with id \"%1\" to quit", bundleIdentifier);
    if (!wait)
        return std::nullopt;
    if (isApplicationRunning(bundleIdentifier) && !waitForQuit(bundleIdentifier, timeout, sleep)) {
        return QBError::clientError(-3, kQuitFailed,
                                    qbFormat("Timed out waiting for app with id \"%1\" to quit after %2s", bundleIdentifier,
                                             wholeSeconds(timeout)));
    }
    logVerbose("App with id \"%1\" did quit", bundleIdentifier);
    return std::nullopt;
}

QBErrorResult launchApplication(const QString& bundleIdentifier)
{
    const std::optional<platform::Bundle> bundle = platform::Bundle::bundleWithIdentifier(bundleIdentifier);
    if (!bundle)
        return QBError::clientError(-1, kLaunchFailed, qbFormat("bundleWithIdentifier \"%1\" failed", bundleIdentifier));
    if (!platform::workspace::launchApplication(bundle->bundlePath()))
        return QBError::clientError(-1, kLaunchFailed, qbFormat("launchApplication \"%1\" failed", bundle->bundlePath()));
    return std::nullopt;
}

uint32_t currentThreadId()
{
    return uint32_t(platform::process::currentThreadId());
}

QStringList pathsToApplication()
{
    return {};
}
