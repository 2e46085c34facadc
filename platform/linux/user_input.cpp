// Keyboard input and state of the simulated user world.
#include "platform/linux/key_output.h"
#include "platform/linux/user_internal.h"
#include "platform/linux/windows.h"

#include <unistd.h>

#include <mutex>

namespace {

constexpr BYTE KeyDown = 0x80;
constexpr BYTE KeyToggled = 0x01;
// The foreground window and its thread. Thread ids of the process are
// multiples of 4 from 0x400 up, so this one is never the caller's.
const HWND FocusWindow = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(0x000100A4));
constexpr DWORD FocusThreadId = 0x3FC;

// The lock states at start as Windows reads them from the registry.
void StartLocked(KeyboardState& keyboard)
{
    UserSettings settings;
    ReadUserSettings(settings);
    for (BYTE& key : keyboard.state)
        key = 0;
    keyboard.state[VK_CAPITAL] = (settings.InitialIndicators & 0x1) ? KeyToggled : 0;
    keyboard.state[VK_NUMLOCK] = (settings.InitialIndicators & 0x2) ? KeyToggled : 0;
    keyboard.state[VK_SCROLL] = (settings.InitialIndicators & 0x4) ? KeyToggled : 0;
    keyboard.ready = true;
}

// The side-neutral modifier is down while either side is.
void UpdateNeutral(BYTE* state, int neutral, int left, int right)
{
    if ((state[left] | state[right]) & KeyDown)
        state[neutral] |= KeyDown;
    else
        state[neutral] &= static_cast<BYTE>(~KeyDown);
}

}  // namespace

KeyboardState& Keyboard()
{
    static auto* keyboard = new KeyboardState();
    return *keyboard;
}

void WINAPI keybd_event(BYTE virtualKey, BYTE scanCode, DWORD flags, ULONG_PTR)
{
    {
        KeyboardState& keyboard = Keyboard();
        std::lock_guard<std::mutex> guard(keyboard.lock);
        if (!keyboard.ready)
            StartLocked(keyboard);
        BYTE& key = keyboard.state[virtualKey];
        if (flags & KEYEVENTF_KEYUP) {
            key &= static_cast<BYTE>(~KeyDown);
        } else {
            // A held lock key that repeats does not toggle again.
            const bool lockKey = virtualKey == VK_CAPITAL || virtualKey == VK_NUMLOCK || virtualKey == VK_SCROLL;
            if (lockKey && !(key & KeyDown))
                key ^= KeyToggled;
            key |= KeyDown;
        }
        UpdateNeutral(keyboard.state, VK_SHIFT, VK_LSHIFT, VK_RSHIFT);
        UpdateNeutral(keyboard.state, VK_CONTROL, VK_LCONTROL, VK_RCONTROL);
        UpdateNeutral(keyboard.state, VK_MENU, VK_LMENU, VK_RMENU);
    }
    WriteJournalLine("keybd_event desktop=%s vk=%02x scan=%02x flags=%x", ThreadDesktopName(), virtualKey, scanCode,
                     static_cast<unsigned>(flags));
    TypeKeyEvent(virtualKey, scanCode, flags);
}

SHORT WINAPI GetKeyState(int virtualKey)
{
    if (virtualKey < 0 || virtualKey > 255)
        return 0;
    KeyboardState& keyboard = Keyboard();
    std::lock_guard<std::mutex> guard(keyboard.lock);
    if (!keyboard.ready)
        StartLocked(keyboard);
    BYTE key = keyboard.state[virtualKey];
    // A machine that is typed on keeps the lock states itself.
    const DWORD lockBit = virtualKey == VK_CAPITAL ? 1 : virtualKey == VK_NUMLOCK ? 2 : virtualKey == VK_SCROLL ? 4 : 0;
    DWORD locks = 0;
    if (lockBit != 0 && ReadMachineLocks(locks))
        key = static_cast<BYTE>((key & ~KeyToggled) | ((locks & lockBit) ? KeyToggled : 0));
    // Down reads as negative, as on Windows.
    return static_cast<SHORT>(((key & KeyDown) ? 0xFF80 : 0) | (key & KeyToggled));
}

BOOL WINAPI SystemParametersInfoA(UINT action, UINT, PVOID value, UINT)
{
    if (value == nullptr || (action != SPI_GETKEYBOARDDELAY && action != SPI_GETKEYBOARDSPEED)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    UserSettings settings;
    ReadUserSettings(settings);
    *static_cast<UINT*>(value) = action == SPI_GETKEYBOARDDELAY ? settings.KeyboardDelay : settings.KeyboardSpeed;
    return TRUE;
}

// Each thread has its own layout: the focus window's thread the user's, and
// every other one, the service's own (0: the caller) running as LocalSystem,
// the default user's.
HKL WINAPI GetKeyboardLayout(DWORD threadId)
{
    UserSettings settings;
    ReadUserSettings(settings);
    const DWORD layout = threadId == FocusThreadId ? settings.Layout : settings.DefaultLayout;
    return reinterpret_cast<HKL>(static_cast<ULONG_PTR>(layout));
}

BOOL WINAPI GetGUIThreadInfo(DWORD threadId, PGUITHREADINFO info)
{
    if (info == nullptr || info->cbSize != sizeof(GUITHREADINFO)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (FailingCall(SimulatedCall::GetGUIThreadInfo))
        return FALSE;
    const DWORD size = info->cbSize;
    *info = GUITHREADINFO{};
    info->cbSize = size;
    // Other threads have no windows.
    if (threadId == 0 || threadId == FocusThreadId) {
        info->hwndActive = FocusWindow;
        info->hwndFocus = FocusWindow;
    }
    return TRUE;
}

DWORD WINAPI GetWindowThreadProcessId(HWND window, LPDWORD processId)
{
    if (window != FocusWindow) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (processId != nullptr)
        *processId = static_cast<DWORD>(getpid());
    return FocusThreadId;
}

BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (window != HWND_BROADCAST && window != FocusWindow) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (FailingCall(SimulatedCall::PostMessage))
        return FALSE;
    // Of all messages only the secure attention hot key has a visible effect.
    if (window == HWND_BROADCAST && message == WM_HOTKEY)
        WriteJournalLine("hotkey desktop=%s wparam=%llx lparam=%08lx", ThreadDesktopName(),
                         static_cast<unsigned long long>(wParam),
                         static_cast<unsigned long>(static_cast<DWORD>(lParam)));
    return TRUE;
}
