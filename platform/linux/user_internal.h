// Shared between the files of the simulated user world.
#pragma once

#include "platform/linux/simulation.h"
#include "platform/linux/windef.h"

struct UserSettings {
    char InputDesktop[16];
    DWORD Layout;
    UINT KeyboardDelay;
    UINT KeyboardSpeed;
    DWORD InitialIndicators;
};

// The settings as the registry holds them now. The registry is read again
// only when its file changed, so a key event allocates nothing.
void ReadUserSettings(UserSettings& settings);

// Appends "<UTC time stamp> <text>\n" to the key journal, if one is named.
void WriteJournalLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// True, with the last-error code set, when a test told this call to fail.
bool FailingUserCall(UserCall call);

// Name of the calling thread's desktop.
const char* ThreadDesktopName();

void ResetKeyboardState();
void ResetDesktops();
