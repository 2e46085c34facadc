// Scan-code records from the panel driver become keystrokes; Ctrl-Alt-Del
// becomes the secure attention hot key on the logon desktop.
#include "keyboard/keyboard.h"

#include "service/log.h"

#include <cstring>

namespace {

const BYTE CtrlAltDelMake[4] = {0x14, 0x11, 0xE0, 0x71};
const BYTE CtrlAltDelBreak[7] = {0xE0, 0xF0, 0x71, 0xF0, 0x11, 0xF0, 0x14};

constexpr ACCESS_MASK AllWindowStationRights = 0x37F;
constexpr ACCESS_MASK AllDesktopRights = 0x1FF;
constexpr UINT WinExecFailureLimit = 31;

bool StartsWith(const BYTE* codes, int count, const BYTE* sequence, int length)
{
    return count >= length && std::memcmp(codes, sequence, static_cast<size_t>(length)) == 0;
}

// Splits a run of set-2 bytes into key events and injects them; the E1
// prefix carries one more code byte before the event is complete.
void InjectKeyEvents(const BYTE* codes, int count, bool keyUpOnly)
{
    DWORD set2Code = 0;
    DWORD set1Code = 0;
    DWORD flags = 0;
    bool e1Pending = false;
    for (int i = 0; i < count; ++i) {
        const BYTE b = codes[i];
        if (b == 0xE0) {
            flags |= KEYEVENTF_EXTENDEDKEY;
            set2Code = 0xE0;
            set1Code = Set2ToSet1[0xE0];
            continue;
        }
        if (b == 0xE1) {
            // Pause is not an extended key: its prefix leaves the flags alone.
            set2Code = 0xE1;
            set1Code = Set2ToSet1[0xE1];
            e1Pending = true;
            continue;
        }
        if (b == 0xF0) {
            flags |= KEYEVENTF_KEYUP;
            continue;
        }
        set2Code = set2Code * 256 + b;
        set1Code = set1Code * 256 + Set2ToSet1[b];
        if (e1Pending) {
            e1Pending = false;
            continue;
        }
        if (keyUpOnly && !(flags & KEYEVENTF_KEYUP)) {
            set2Code = 0;
            set1Code = 0;
            flags = 0;
            continue;
        }
        DebugTrace("--- Key %s ---\n", (flags & KEYEVENTF_KEYUP) ? "up" : "down");
        DebugTrace("Scan code (set 2): %02xh\n", static_cast<unsigned>(set2Code));
        DebugTrace("Scan code (set 1): %02xh\n", static_cast<unsigned>(set1Code));
        const BYTE vk = LookupVirtualKey(set2Code);
        if (vk != 0) {
            DebugTrace("Virtual key: %02xh %s\n", vk, VirtualKeyName(vk));
            keybd_event(vk, static_cast<BYTE>(set1Code & 0xFF), flags, 0);
        }
        set2Code = 0;
        set1Code = 0;
        flags = 0;
    }
}

}  // namespace

void SendKeySequence(const BYTE* codes, int count)
{
    // A record holds no more than this; a larger Length must not read past it.
    if (count > MaxKeySequence)
        count = MaxKeySequence;

    DebugTrace("Send key: scan code ");
    for (int i = 0; i < count; ++i)
        DebugTrace("%02x", codes[i]);
    DebugTrace("\n");

    bool ctrlAltDel = false;
    if (StartsWith(codes, count, CtrlAltDelMake, sizeof CtrlAltDelMake)) {
        DebugTrace("Ctrl-Alt-Del make code found\n");
        codes += sizeof CtrlAltDelMake;
        count -= sizeof CtrlAltDelMake;
        ctrlAltDel = true;
    }
    if (StartsWith(codes, count, CtrlAltDelBreak, sizeof CtrlAltDelBreak)) {
        DebugTrace("Ctrl-Alt-Del break code found -> ignored...\n");
        codes += sizeof CtrlAltDelBreak;
        count -= sizeof CtrlAltDelBreak;
    }
    if (ctrlAltDel && !SendSecureAttention() && DebugMode) {
        DebugTrace("Can't simulate Ctrl-Alt-Del in debug mode - now starting taskmgr.exe...\n");
        if (WinExec("taskmgr.exe", SW_SHOW) <= WinExecFailureLimit)
            DebugTrace("Can't start taskmgr.exe\n");
    }

    InjectKeyEvents(codes, count, false);
}

void SendKeyUpSequence(const BYTE* codes, int count)
{
    if (count > MaxKeySequence)
        count = MaxKeySequence;
    DebugTrace("Release key: scan code ");
    for (int i = 0; i < count; ++i)
        DebugTrace("%02x", codes[i]);
    DebugTrace("\n");
    // The Ctrl-Alt-Del key never reached Windows as keys: nothing to release.
    if (StartsWith(codes, count, CtrlAltDelBreak, sizeof CtrlAltDelBreak)) {
        codes += sizeof CtrlAltDelBreak;
        count -= sizeof CtrlAltDelBreak;
    }
    InjectKeyEvents(codes, count, true);
}

BOOL SendSecureAttention()
{
    const HWINSTA savedStation = GetProcessWindowStation();
    const HDESK savedDesktop = GetThreadDesktop(GetCurrentThreadId());
    if (savedStation == nullptr || savedDesktop == nullptr)
        return FALSE;

    const HWINSTA station = OpenWindowStationA("winsta0", FALSE, AllWindowStationRights);
    if (station == nullptr)
        return FALSE;

    // Whatever fails, the station and desktop we found are put back and what
    // we opened is closed; the first failure's error code is the one reported.
    BOOL posted = FALSE;
    bool ok = false;
    DWORD error = ERROR_SUCCESS;
    auto fail = [&error] {
        if (error == ERROR_SUCCESS)
            error = GetLastError();
        return false;
    };
    if (SetProcessWindowStation(station)) {
        const HDESK desktop = OpenDesktopA("Winlogon", 0, FALSE, AllDesktopRights);
        if (desktop != nullptr) {
            if (SetThreadDesktop(desktop)) {
                posted = PostMessageA(HWND_BROADCAST, WM_HOTKEY, 0,
                                      static_cast<LPARAM>(MAKELONG(MOD_ALT | MOD_CONTROL, VK_DELETE)));
                ok = true;
            } else {
                fail();
            }
            if (!SetProcessWindowStation(savedStation))
                ok = fail();
            if (!SetThreadDesktop(savedDesktop))
                ok = fail();
            CloseDesktop(desktop);
        } else {
            fail();
            if (!SetProcessWindowStation(savedStation))
                fail();
        }
    } else {
        fail();
    }
    CloseWindowStation(station);
    if (!ok) {
        SetLastError(error);
        return FALSE;
    }
    return posted;
}
