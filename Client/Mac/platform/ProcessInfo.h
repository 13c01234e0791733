#pragma once
// Facts about the running process and its threads.

#include <QString>

#include <cstdint>

namespace platform::process {

int processIdentifier();
QString processName();
// The kernel's id of the calling thread.
uint64_t currentThreadId();
// Thread names as the logging prefix shows them. A thread that was never
// named has no name (as opposed to an empty one).
bool currentThreadHasName();
QString currentThreadName();
void setCurrentThreadName(const QString& name);
// A debugger (any tracer) is attached to this process.
bool isDebuggerPresent();
// Whole-run tests end the process at a named point to see what every moment
// leaves behind: in builds with test hooks, when QUORBEL_STOP_AT names `point`
// (never in a set-user-ID process), the process stops itself there for the
// test to kill.
void stopPointForTests(const char* point);

} // namespace platform::process
