// Calls of the Linux layer that a test hook (user_hooks.cpp, linked into
// the test suites only) can make fail.
#pragma once

#include "platform/linux/simulation.h"

#include <atomic>

// Null in the service; a test hook sets it to make single calls fail.
using CallFilter = bool (*)(SimulatedCall call);
extern std::atomic<CallFilter> FailingCallFilter;

// True, with the last-error code set, when a test told this call to fail.
inline bool FailingCall(SimulatedCall call)
{
    const CallFilter filter = FailingCallFilter.load();
    return filter != nullptr && filter(call);
}
