// User interface services of the Linux build: keyboard input and state,
// window stations and desktops, broadcast messages.
//
// Keystrokes go to the key journal, a file named by the registry value
// "KeyJournal" under HKEY_LOCAL_MACHINE\SOFTWARE\KplHost: one line per
// keybd_event and per hot key broadcast. The simulated machine has the window
// station WinSta0 with the desktops Default and Winlogon; the input desktop is
// Default unless "InputDesktop" under the same key (or a test) says otherwise.
#pragma once

#include "platform/linux/windef.h"

typedef short SHORT;

#define HWND_BROADCAST ((HWND)(ULONG_PTR)0xffff)

#define KEYEVENTF_EXTENDEDKEY 0x0001u
#define KEYEVENTF_KEYUP 0x0002u

#define MOD_ALT 0x0001u
#define MOD_CONTROL 0x0002u
#define MOD_SHIFT 0x0004u

#define SPI_GETKEYBOARDSPEED 0x000Au
#define SPI_GETKEYBOARDDELAY 0x0016u

#define UOI_NAME 2

#define WINSTA_ALL_ACCESS 0x0000037Fu

#define VK_CANCEL 0x03
#define VK_BACK 0x08
#define VK_TAB 0x09
#define VK_CLEAR 0x0C
#define VK_RETURN 0x0D
#define VK_SHIFT 0x10
#define VK_CONTROL 0x11
#define VK_MENU 0x12
#define VK_PAUSE 0x13
#define VK_CAPITAL 0x14
#define VK_ESCAPE 0x1B
#define VK_SPACE 0x20
#define VK_PRIOR 0x21
#define VK_NEXT 0x22
#define VK_END 0x23
#define VK_HOME 0x24
#define VK_LEFT 0x25
#define VK_UP 0x26
#define VK_RIGHT 0x27
#define VK_DOWN 0x28
#define VK_SNAPSHOT 0x2C
#define VK_INSERT 0x2D
#define VK_DELETE 0x2E
#define VK_LWIN 0x5B
#define VK_RWIN 0x5C
#define VK_APPS 0x5D
#define VK_SLEEP 0x5F
#define VK_NUMPAD0 0x60
#define VK_NUMPAD9 0x69
#define VK_MULTIPLY 0x6A
#define VK_ADD 0x6B
#define VK_SUBTRACT 0x6D
#define VK_DECIMAL 0x6E
#define VK_DIVIDE 0x6F
#define VK_F1 0x70
#define VK_F12 0x7B
#define VK_F13 0x7C
#define VK_F24 0x87
#define VK_NUMLOCK 0x90
#define VK_SCROLL 0x91
#define VK_LSHIFT 0xA0
#define VK_RSHIFT 0xA1
#define VK_LCONTROL 0xA2
#define VK_RCONTROL 0xA3
#define VK_LMENU 0xA4
#define VK_RMENU 0xA5
#define VK_OEM_1 0xBA
#define VK_OEM_PLUS 0xBB
#define VK_OEM_COMMA 0xBC
#define VK_OEM_MINUS 0xBD
#define VK_OEM_PERIOD 0xBE
#define VK_OEM_2 0xBF
#define VK_OEM_3 0xC0
#define VK_OEM_4 0xDB
#define VK_OEM_5 0xDC
#define VK_OEM_6 0xDD
#define VK_OEM_7 0xDE
#define VK_OEM_8 0xDF
#define VK_OEM_102 0xE2

typedef struct tagGUITHREADINFO {
    DWORD cbSize;
    DWORD flags;
    HWND hwndActive;
    HWND hwndFocus;
    HWND hwndCapture;
    HWND hwndMenuOwner;
    HWND hwndMoveSize;
    HWND hwndCaret;
    RECT rcCaret;
} GUITHREADINFO, *PGUITHREADINFO, *LPGUITHREADINFO;

// Keyboard input and state. Lock keys toggle when they go down; the state at
// start comes from "InitialKeyboardIndicators" under
// HKEY_CURRENT_USER\Control Panel\Keyboard.
void WINAPI keybd_event(BYTE virtualKey, BYTE scanCode, DWORD flags, ULONG_PTR extraInfo);
SHORT WINAPI GetKeyState(int virtualKey);
// Only SPI_GETKEYBOARDDELAY and SPI_GETKEYBOARDSPEED, from "KeyboardDelay"
// and "KeyboardSpeed" of the same key.
BOOL WINAPI SystemParametersInfoA(UINT action, UINT param, PVOID value, UINT winIni);
// The layout of "1" under HKEY_CURRENT_USER\Keyboard Layout\Preload, for
// every thread.
HKL WINAPI GetKeyboardLayout(DWORD threadId);
BOOL WINAPI GetGUIThreadInfo(DWORD threadId, PGUITHREADINFO info);
DWORD WINAPI GetWindowThreadProcessId(HWND window, LPDWORD processId);
BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Window stations and desktops.
HWINSTA WINAPI GetProcessWindowStation(void);
HWINSTA WINAPI OpenWindowStationA(LPCSTR name, BOOL inherit, ACCESS_MASK access);
BOOL WINAPI SetProcessWindowStation(HWINSTA station);
BOOL WINAPI CloseWindowStation(HWINSTA station);
HDESK WINAPI OpenDesktopA(LPCSTR name, DWORD flags, BOOL inherit, ACCESS_MASK access);
HDESK WINAPI OpenInputDesktop(DWORD flags, BOOL inherit, ACCESS_MASK access);
HDESK WINAPI GetThreadDesktop(DWORD threadId);
BOOL WINAPI SetThreadDesktop(HDESK desktop);
BOOL WINAPI CloseDesktop(HDESK desktop);
BOOL WINAPI GetUserObjectInformationA(HANDLE object, int index, PVOID info, DWORD length, LPDWORD lengthNeeded);
