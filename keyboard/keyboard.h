// Keyboard output: the key output thread, auto-repeat timing, the scan-code
// translation tables and the key injection.
#pragma once

#include "platform/win32.h"

// Translation tables.
struct ScanCodeRange {
    DWORD Base;  // the group's code with a zero last byte; the lookup ignores it
    DWORD First;
    DWORD Last;
    const BYTE* Table;  // Last - First + 1 virtual keys, 0 = none
};

// Plain, E0 and E1 group, in that order; the same ranges in both sets.
inline constexpr int ScanCodeGroups = 3;
extern const ScanCodeRange DefaultTableSet[ScanCodeGroups];
extern const ScanCodeRange GermanTableSet[ScanCodeGroups];

extern const BYTE Set2ToSet1[256];
// Layout of the thread that had the keyboard focus when last read; 0 = never read.
extern HKL FocusLayout;
// keyCode: the set-2 bytes of one key event, big-endian, without 0xF0.
BYTE LookupVirtualKey(DWORD keyCode);
// Never null; "" for keys without a name.
const char* VirtualKeyName(BYTE virtualKey);

// Key injection.
// A record holds at most this many code bytes.
inline constexpr int MaxKeySequence = 22;
void SendKeySequence(const BYTE* codes, int count);
// The same decoding, injecting only the key-up events: the keys the driver
// releases when the service stops.
void SendKeyUpSequence(const BYTE* codes, int count);
BOOL SendSecureAttention();

// Key output thread and auto-repeat timing.
extern bool AnyKeyDown;
extern HDESK InputDesktop;
extern DWORD LastKeyboardDelay;
extern DWORD LastKeyboardSpeed;
// Set by start-up from the configuration, read by the repeat timing.
extern DWORD UseStdKeyboardSpeed;
extern DWORD UseOptKeyCycleTime;
DWORD WINAPI KeyOutputThread(LPVOID parameter);
void UpdateRepeatTiming(UINT_PTR* timerId, DWORD* cycleTime);
