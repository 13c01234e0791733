#pragma once
// The version number of the application framework the process runs on. Code
// that must behave as it did on older systems compares against the constants
// below; tests set another value to reach those paths.

namespace platform::appkit {

// Releases whose behaviour still differs (integral part of the number).
constexpr double kVersionNumber10_4 = 824;
constexpr double kVersionNumber10_5 = 949;

// The framework version without its fraction.
double versionNumber();
// Overrides the reported version; 0 restores the system's.
void setVersionNumber(double version);

} // namespace platform::appkit
