// The thread exchange: what the main thread and the key output thread share,
// the lock that guards it, the messages between them and the stop request.
#pragma once

#include "platform/win32.h"

#include <atomic>

// From the key output thread to the main thread: the shared LED block changed.
inline constexpr UINT WM_LED_STATES_CHANGED = WM_USER + 1;

// LED states, two bits per LED in a LED block.
inline constexpr BYTE LedOff = 0;
inline constexpr BYTE LedSlowBlink = 1;
inline constexpr BYTE LedFastBlink = 2;
inline constexpr BYTE LedOn = 3;

// Guards KeyMatrix, LedBlock and BlinkPatterns.
extern CRITICAL_SECTION ExchangeLock;
extern BYTE KeyMatrix[16];
extern BYTE LedBlock[32];
// The LED block rendered for each of the four blink phases, one bit per LED.
extern BYTE BlinkPatterns[4][16];
// Written during start-up only, before the key output thread exists.
extern DWORD LedBlinkMode;
// The main thread while a stop request can reach it; 0 otherwise.
extern std::atomic<DWORD> MainThreadId;

// Empties the shared blocks for a new run, before its threads exist.
void ResetExchange();
bool GetKeyMatrix(BYTE* destination, DWORD length);
bool SetLedBlock(const BYTE* source, DWORD length);
BYTE GetLedState(const BYTE* block, unsigned led);
// Posts WM_QUIT to the main thread once per run; safe from any thread.
void RequestStop();
