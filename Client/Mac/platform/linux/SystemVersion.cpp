#include "SystemVersion.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <sys/auxv.h>

namespace platform::gestalt {
namespace {

struct Version {
    int32_t major = 0;
    int32_t minor = 0;
    int32_t bugFix = 0;
};

// "11", "10.15" or "10.6.8"; anything else is no version at all.
std::optional<Version> versionFromEnvironment()
{
#ifndef QB_TEST_HOOKS
    return std::nullopt;
#endif
    if (getauxval(AT_SECURE) != 0)
        return std::nullopt;
    const QStringList parts = qEnvironmentVariable("QUORBEL_SYSTEM_VERSION").trimmed().split(u'.');
    if (parts.size() > 3)
        return std::nullopt;
    int32_t numbers[3] = {0, 0, 0};
    for (qsizetype i = 0; i < parts.size(); ++i) {
        bool ok = false;
        const uint value = parts.at(i).toUInt(&ok);
        if (!ok || parts.at(i).startsWith(u'+') || value > 100000)
            return std::nullopt;
        numbers[i] = int32_t(value);
    }
    return Version{numbers[0], numbers[1], numbers[2]};
}

std::optional<int32_t> architecture()
{
#if defined(__x86_64__) || defined(__i386__)
    return gestaltIntel;
#elif defined(__powerpc__) || defined(__powerpc64__)
    return gestaltPowerPC;
#else
    return std::nullopt;
#endif
}

} // namespace

int32_t Gestalt(Selector which, int32_t* response)
{
    if (which == gestaltSysArchitecture) {
        const auto answer = architecture();
        if (!answer)
            return gestaltUnknownErr;
        *response = *answer;
        return noErr;
    }
    if (which != gestaltSystemVersionMajor && which != gestaltSystemVersionMinor && which != gestaltSystemVersionBugFix)
        return gestaltUndefSelectorErr;
    const auto version = versionFromEnvironment();
    if (!version)
        return gestaltUnknownErr;
    if (which == gestaltSystemVersionMajor)
        *response = version->major;
    else if (which == gestaltSystemVersionMinor)
        *response = version->minor;
    else
        *response = version->bugFix;
    return noErr;
}

} // namespace platform::gestalt
