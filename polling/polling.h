// The polling engine: start-up and shutdown, the poll cycle on the main
// thread, and what it shares with the key output thread.
#pragma once

#include "platform/win32.h"

#include <atomic>

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

// Kept by start-up for the key output thread's auto-repeat timing.
extern DWORD UseStdKeyboardSpeed;
extern DWORD UseOptKeyCycleTime;

// The poll cycle: returns when the main thread receives WM_QUIT.
bool RunPollLoop();
// One poll tick's step of the service-side blinking: the phase to send.
// A phase lasts five ticks; the first of a run only four.
DWORD AdvanceBlinkPhase();

// Thread exchange.
inline constexpr UINT WM_LED_STATES_CHANGED = WM_USER + 1;

extern CRITICAL_SECTION ExchangeLock;
extern BYTE KeyMatrix[16];
extern BYTE LedBlock[32];
extern BYTE BlinkPatterns[4][16];
extern DWORD LedBlinkMode;
extern DWORD BlinkTick;
extern DWORD BlinkPhase;
// The main thread while a stop request can reach it; 0 otherwise.
extern std::atomic<DWORD> MainThreadId;

bool GetKeyMatrix(BYTE* destination, DWORD length);
bool SetLedBlock(const BYTE* source, DWORD length);
BYTE GetLedState(const BYTE* block, unsigned led);
void SetLedState(BYTE led, BYTE state);
// Posts WM_QUIT to the main thread once per run; safe from any thread.
void RequestStop();
