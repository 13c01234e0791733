#pragma once
// What pkexec's end says about an authorisation that brought no helper up.
// pkexec exits 127 for a refusal, a missing agent and a missing polkit daemon
// alike; only its message (read under LC_ALL=C) tells them apart. A message
// not known here is a failed run, never a refusal.

#include "Authorization.h"

#include <QByteArray>

namespace platform::pkexec {

// `waitStatus` as waitpid gives it; `message` is what pkexec wrote to its
// standard error.
RightsRefusal outcomeOf(int waitStatus, const QByteArray& message);

// The status copyAdminRights hands out for each kind of refusal.
int32_t statusFor(RightsRefusal refusal);

} // namespace platform::pkexec
