// Keyboard output: the key output thread, auto-repeat timing, the scan-code
// translation tables, the decoding of scan-code records and the key injection.
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
// keyCode: the set-2 bytes of one key event, big-endian, without 0xF0; the
// layout (FocusLayout for the keys being injected) chooses the table set.
BYTE LookupVirtualKey(DWORD keyCode, HKL layout);
// Never null; "" for keys without a name.
const char* VirtualKeyName(BYTE virtualKey);

// Decoding of scan-code records.
// A record holds at most this many code bytes.
inline constexpr int MaxKeySequence = 22;

// One key event of a record.
struct KeyEvent {
    DWORD Set2Code;   // the key code
    DWORD Set1Code;   // the same bytes in scan code set 1; keybd_event takes the low byte
    DWORD Flags;      // KEYEVENTF_EXTENDEDKEY, KEYEVENTF_KEYUP
    BYTE VirtualKey;  // 0: the key has none and is not injected
};

// What one record stands for. Every code byte completes at most one event.
struct DecodedKeys {
    bool CtrlAltDelMake;   // it began with the Ctrl-Alt-Del make: the secure attention, not keys
    bool CtrlAltDelBreak;  // the Ctrl-Alt-Del break, at the start or after the make, was dropped
    int Count;
    KeyEvent Events[MaxKeySequence];
};

// The key events of `count` code bytes (at most MaxKeySequence are read)
// under a keyboard layout. Injects nothing, allocates nothing.
void DecodeKeySequence(const BYTE* codes, int count, HKL layout, DecodedKeys* keys);
// The key-up events only, for the keys the driver releases when the service
// stops; of the Ctrl-Alt-Del sequences only the break is looked for.
void DecodeKeyUpSequence(const BYTE* codes, int count, HKL layout, DecodedKeys* keys);

// Key injection: decoding, then keybd_event for each key that has a virtual key.
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
