#pragma once
// Bare events sent to a process named by its serial number. On Linux no
// process receives such events: sending reports procNotFound. Tests install a
// fake with setShared().

#include <cstdint>

namespace platform {

constexpr int32_t noErr = 0;
constexpr int32_t procNotFound = -600;

struct ProcessSerialNumber {
    uint32_t highLongOfPSN = 0;
    uint32_t lowLongOfPSN = 0;
};
// The system process.
constexpr ProcessSerialNumber kSystemProcessSerialNumber{0, 1};

class AppleEventService {
public:
    virtual ~AppleEventService() = default;
    // Sends an event of `eventClass`/`eventID` without waiting for a reply;
    // answers the send result (noErr on success).
    virtual int32_t sendEvent(const ProcessSerialNumber& target, uint32_t eventClass, uint32_t eventID) = 0;

    static AppleEventService& shared();
    static void setShared(AppleEventService* service); // nullptr restores the system's
};

} // namespace platform
