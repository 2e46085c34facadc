// The machine's keyboard behind keybd_event on a Linux computer, chosen by
// "KeyOutput" under HKEY_LOCAL_MACHINE\SOFTWARE\KplHost:
//   "uinput"  a virtual keyboard "Keypanel" through /dev/uinput (default),
//   "x11"     XTest on the X display "Display" names (default: $DISPLAY),
//   "journal" nothing typed; only the key journal.
// Keys are typed by position: the layout of the machine applies, as it does
// to any keyboard. A held key repeats as the machine repeats its own keys;
// the service's repeated presses of a key already down are not typed again.
// Ctrl-Alt-Del is never typed: the Delete key is held back while both Ctrl
// and Alt are down, so the kernel's reboot combination cannot come from the
// panel, as injected keys never make the secure attention sequence on Windows.
#pragma once

#include "platform/linux/windef.h"

#include <cstddef>

// The panel driver opens the output with itself, so a machine that cannot be
// typed on fails the driver's step. False with *error set, after a notice that
// names the device or display and the reason.
bool OpenKeyOutput(DWORD* error);
// Lets go of every key still down, then closes the output.
void CloseKeyOutput();

// One keybd_event for the machine.
void TypeKeyEvent(BYTE virtualKey, BYTE scanCode, DWORD flags);

// The lock states the machine shows (bit 0 CapsLock, bit 1 NumLock, bit 2
// ScrollLock, the bits of "InitialKeyboardIndicators"); false while no
// output that knows them is open.
bool ReadMachineLocks(DWORD& locks);

// The Linux key code (linux/input-event-codes.h) at the position of a set-1
// scan code; 0 for none.
unsigned short LinuxKeyOf(BYTE virtualKey, BYTE scanCode, bool extended);
// Every key code LinuxKeyOf can give, ascending; `count` of them.
const unsigned short* TypedLinuxKeys(std::size_t& count);

// One output, as key_output.cpp drives it (calls are serialised by it).
struct KeyOutputDriver {
    // `target`: the display for x11; `repeatDelayMs`/`repeatPeriodMs`: the
    // panel's repeat settings. On failure: `fault` names the device or display
    // and says why, and the result is the Windows error code; else 0.
    DWORD (*Open)(const char* target, int repeatDelayMs, int repeatPeriodMs, char* fault, std::size_t faultSize);
    void (*Close)();
    void (*Key)(unsigned short linuxKey, bool down);
    bool (*Locks)(DWORD& locks);
};
extern const KeyOutputDriver UinputKeyOutput;
extern const KeyOutputDriver X11KeyOutput;
