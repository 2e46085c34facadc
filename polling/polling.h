// The polling engine: start-up and shutdown and the poll cycle on the main
// thread. What it shares with the key output thread, and the stop request,
// are in the thread exchange.
#pragma once

#include "platform/win32.h"
#include "polling/exchange.h"

// Start-up and shutdown.
struct KeypanelInfoRecord {
    BYTE MajorVersion;
    BYTE MinorVersion;
    char Version[6];  // "MM.mm"
    char Type[9];
    BYTE KeyCount;
    BYTE LedCount;
};
extern KeypanelInfoRecord KeypanelInfo;

bool StartPolling(const char* portName, DWORD baudRate, BYTE byteSize, BYTE parity, BYTE stopBits,
                  DWORD doLedBlinking, DWORD errorRetries, DWORD responseTimeout, DWORD useStdKeyboardSpeed,
                  DWORD useOptKeyCycleTime);
void StopPolling();
LONG PublishKeypanelInfo(const KeypanelInfoRecord* info);

// The poll cycle: returns when the main thread receives WM_QUIT.
bool RunPollLoop();

// Service-side blinking, main thread only.
extern DWORD BlinkTick;
extern DWORD BlinkPhase;
// One poll tick's step: the phase to send. A phase lasts five ticks; the
// first of a run only four.
DWORD AdvanceBlinkPhase();
