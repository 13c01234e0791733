#pragma once
// Facts about the operating system, asked by selector and answered with a
// status (0 when the answer is known).
//
// The Linux service knows no Mac OS X version: it answers the version
// selectors only when the environment variable QUORBEL_SYSTEM_VERSION holds
// one ("10.6.8", "10.15", "11"), so that checks and whole runs can play a
// given system; otherwise those selectors fail. Set-user-ID processes never
// take the version from their environment. The architecture is answered from
// the processor this program was built for.

#include <cstdint>

namespace platform::gestalt {

using Selector = uint32_t;

constexpr Selector selector(const char (&code)[5])
{
    return Selector(uint8_t(code[0])) << 24 | Selector(uint8_t(code[1])) << 16 | Selector(uint8_t(code[2])) << 8
           | Selector(uint8_t(code[3]));
}

inline constexpr Selector gestaltSystemVersionMajor = selector("sys1");
inline constexpr Selector gestaltSystemVersionMinor = selector("sys2");
inline constexpr Selector gestaltSystemVersionBugFix = selector("sys3");
inline constexpr Selector gestaltSysArchitecture = selector("sysa");

// Answers of gestaltSysArchitecture.
inline constexpr int32_t gestalt68k = 1;
inline constexpr int32_t gestaltPowerPC = 2;
inline constexpr int32_t gestaltIntel = 10;

inline constexpr int32_t noErr = 0;
inline constexpr int32_t gestaltUnknownErr = -5550;
inline constexpr int32_t gestaltUndefSelectorErr = -5551;

// Fills `response` and answers noErr, or answers an error and leaves it alone.
int32_t Gestalt(Selector which, int32_t* response);

} // namespace platform::gestalt
