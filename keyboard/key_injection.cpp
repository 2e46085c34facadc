// Scan-code records from the panel driver become keystrokes; Ctrl-Alt-Del
// becomes the secure attention hot key on the logon desktop.
#include "keyboard/keyboard.h"

#include "service/log.h"

namespace {

constexpr ACCESS_MASK AllWindowStationRights = 0x37F;
constexpr ACCESS_MASK AllDesktopRights = 0x1FF;
constexpr UINT WinExecFailureLimit = 31;

void TraceCodes(const char* title, const BYTE* codes, int count)
{
    DebugTrace("%s", title);
    for (int i = 0; i < count; ++i)
        DebugTrace("%02x", codes[i]);
    DebugTrace("\n");
}

void InjectKeyEvents(const DecodedKeys& keys)
{
    for (int i = 0; i < keys.Count; ++i) {
        const KeyEvent& event = keys.Events[i];
        DebugTrace("--- Key %s ---\n", (event.Flags & KEYEVENTF_KEYUP) ? "up" : "down");
        DebugTrace("Scan code (set 2): %02xh\n", static_cast<unsigned>(event.Set2Code));
        DebugTrace("Scan code (set 1): %02xh\n", static_cast<unsigned>(event.Set1Code));
        if (event.VirtualKey != 0) {
            DebugTrace("Virtual key: %02xh %s\n", event.VirtualKey, VirtualKeyName(event.VirtualKey));
            keybd_event(event.VirtualKey, static_cast<BYTE>(event.Set1Code & 0xFF), event.Flags, 0);
        }
    }
}

}  // namespace

void SendKeySequence(const BYTE* codes, int count)
{
    DecodedKeys keys;
    DecodeKeySequence(codes, count, FocusLayout, &keys);
    TraceCodes("Send key: scan code ", codes, count > MaxKeySequence ? MaxKeySequence : count);
    if (keys.CtrlAltDelMake)
        DebugTrace("Ctrl-Alt-Del make code found\n");
    if (keys.CtrlAltDelBreak)
        DebugTrace("Ctrl-Alt-Del break code found -> ignored...\n");
    if (keys.CtrlAltDelMake && !SendSecureAttention() && DebugMode) {
        DebugTrace("Can't simulate Ctrl-Alt-Del in debug mode - now starting taskmgr.exe...\n");
        if (WinExec("taskmgr.exe", SW_SHOW) <= WinExecFailureLimit)
            DebugTrace("Can't start taskmgr.exe\n");
    }
    InjectKeyEvents(keys);
}

void SendKeyUpSequence(const BYTE* codes, int count)
{
    DecodedKeys keys;
    DecodeKeyUpSequence(codes, count, FocusLayout, &keys);
    TraceCodes("Release key: scan code ", codes, count > MaxKeySequence ? MaxKeySequence : count);
    InjectKeyEvents(keys);
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
