#pragma once
// The shell's view of running processes. Process checks grep a listing of
// the command path of every process, one a line, as `ps ax -o comm` prints it
// on macOS. On Linux that command shows a base name cut to 15 characters, so
// the listing is made from /proc: the executable's path or, where it cannot be
// read (another user's process), the first argument of the command line, else
// the process name. The calling process itself and zombies are never listed:
// a launcher must not find itself, nor a core that has already ended.

#include <QByteArray>

namespace platform::processes {

QByteArray commandPathListing();
// Replaces the listing (tests); a null text restores the system's.
void setCommandPathListing(const QByteArray& listing);

} // namespace platform::processes
