#include "AppleEventService.h"

#include <atomic>

namespace platform {
namespace {

class SystemAppleEventService final : public AppleEventService {
public:
    int32_t sendEvent(const ProcessSerialNumber&, uint32_t, uint32_t) override { return procNotFound; }
};

std::atomic<AppleEventService*> gOverride{nullptr};

} // namespace

AppleEventService& AppleEventService::shared()
{
    static SystemAppleEventService system;
    AppleEventService* service = gOverride.load();
    return service ? *service : system;
}

void AppleEventService::setShared(AppleEventService* service)
{
    gOverride = service;
}

} // namespace platform
