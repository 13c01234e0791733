#pragma once
// What each command of the update tool does here.

#include "Arguments.h"

#include <string>

namespace updateqb {

// "Limited <version> (<build>)", as the launcher reads installed tools.
std::string versionLine();

// Carries out a request as root; throws Refusal with the reason when it is
// refused or fails. Answers the line to print on success.
std::string perform(const Request& request);

} // namespace updateqb
