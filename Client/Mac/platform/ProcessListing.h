#pragma once
// The shell's view of running processes. Process checks grep a listing of
// the command path of every process, one a line: `ps ax -o comm` shows that
// path on macOS, while on Linux it shows a base name cut to 15 characters, so
// the Linux listing asks for the executable's path instead.

#include <QString>

namespace platform::processes {

// A shell command that prints the listing (its first line may be a header).
QString commandPathListing();
// Replaces the listing command (tests); an empty command restores the system's.
void setCommandPathListing(const QString& command);

} // namespace platform::processes
