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

} // namespace platform::process
