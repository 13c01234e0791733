#pragma once
// The start of a set-user-ID process: nothing of the caller's process state
// (environment, descriptors, file-creation mask, signal mask, identity) is
// trusted.

namespace updateqb {

// Standard descriptors open (on /dev/null when they were closed), every other
// descriptor closed, the environment empty, umask 022, signals at their
// defaults and unblocked, the working folder "/".
void sanitizeProcess();

// Records the caller (real user and group) and becomes root in every user and
// group identity, with no supplementary groups. False when that is not
// possible (the tool is not set-user-ID root and not run by root).
bool becomeRoot();

// Once root: the caller's terminal can no longer stop or end the tool
// (job-control, interrupt and hang-up signals ignored), a file-size limit
// makes a write fail instead of ending the tool, and the resource limits are
// the tool's own (no core files). False when a limit cannot be set.
bool holdAgainstCaller();

} // namespace updateqb
