// The polling engine as the service host sees it: start-up, the poll loop on
// the main thread, shutdown and the stop request.
#pragma once

#include "platform/win32.h"

bool StartPolling(const char* portName, DWORD baudRate, BYTE byteSize, BYTE parity, BYTE stopBits,
                  DWORD doLedBlinking, DWORD errorRetries, DWORD responseTimeout, DWORD useStdKeyboardSpeed,
                  DWORD useOptKeyCycleTime);
bool RunPollLoop();
void StopPolling();

// Posts WM_QUIT to the main thread once per run; safe from any thread.
void RequestStop();
