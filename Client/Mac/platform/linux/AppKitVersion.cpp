#include "AppKitVersion.h"

#include <atomic>

namespace platform::appkit {
namespace {

// Linux always behaves like a current system: none of the older-release
// variants applies, so report a version above all of them.
constexpr double kCurrentVersionNumber = 2487;

std::atomic<double> gOverride{0};

} // namespace

double versionNumber()
{
    const double version = gOverride.load();
    return version > 0 ? version : kCurrentVersionNumber;
}

void setVersionNumber(double version)
{
    gOverride = version;
}

} // namespace platform::appkit
