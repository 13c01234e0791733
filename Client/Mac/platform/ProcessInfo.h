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
// The process was started with more rights than its caller (set-user-ID,
// set-group-ID or file capabilities): its environment is the caller's and
// is never trusted.
bool startedWithElevatedRights();
// Ends the process as a failed standard assertion does, with its report.
[[noreturn]] void failAssertion(const char* assertion, const char* file, unsigned int line, const char* function) noexcept;
// A pipe whose two ends are close-on-exec and non-blocking. False when the
// system refuses one (errno says why).
bool openPipe(int fds[2]);

} // namespace platform::process
