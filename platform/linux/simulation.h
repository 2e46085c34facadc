// Test hooks of the simulated machine (Linux build, test suites only):
// failures of single calls, open handles, and a way back to a fresh machine.
#pragma once

#include "platform/linux/windef.h"

enum class SimulatedCall {
    CreateThread,
    OpenWindowStation,
    SetProcessWindowStation,
    OpenDesktop,
    OpenInputDesktop,
    SetThreadDesktop,
    PostMessage,
    SetTimer,
    GetGUIThreadInfo,
};

// Forgets the keyboard state (read again from the registry at the next key
// event), closes the key journal, clears every hook below, invalidates the
// window station and desktop handles opened so far and puts the process and
// every thread back on WinSta0\Default.
void ResetSimulatedUser();

// The calls of that kind after the next `after` ones fail with `error`,
// `count` times.
void FailSimulatedCall(SimulatedCall call, DWORD error, unsigned after = 0, unsigned count = 1);

// Window station and desktop handles opened and not yet closed.
int OpenSimulatedUserHandles();
