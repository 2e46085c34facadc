// keytarget.exe: a window that takes the keyboard focus and logs every
// keyboard message it gets, the Windows counterpart of the key journal.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace {

const char Usage[] =
    "usage: keytarget.exe LOGFILE SECONDS [--winlogon]\n"
    "Opens a window, takes the keyboard focus and writes one line per keyboard\n"
    "message to LOGFILE, flushed at once:\n"
    "  <ms since start> <WM_KEYDOWN|WM_KEYUP|WM_SYSKEYDOWN|WM_SYSKEYUP|WM_CHAR> wparam=<hex> lparam=<8 hex digits>\n"
    "(hex in lower case; the wparam of WM_CHAR is a UTF-16 code unit).\n"
    "--winlogon also creates the desktop \"Winlogon\" with a window that logs the\n"
    "secure attention hot key posted there, in the same form:\n"
    "  <ms since start> WM_HOTKEY wparam=<hex> lparam=<8 hex digits>\n"
    "LOGFILE is created only once the window is shown and has the focus (and the\n"
    "Winlogon window exists): a caller waits for it to exist before it types.\n"
    "Ends on WM_CLOSE or after SECONDS.\n"
    "Exit status 0; 1 for a wrong command line; 2 when the window did not get the\n"
    "focus within SECONDS or LOGFILE could not be created.\n";

constexpr UINT_PTR EndTimer = 1;
constexpr UINT_PTR FocusTimer = 2;

DWORD StartTicks;
const wchar_t* LogPath;
HANDLE Log = INVALID_HANDLE_VALUE;
// The two windows' threads both write.
CRITICAL_SECTION LogLock;
int ExitStatus = 2;

const char* KeyboardMessageName(UINT message)
{
    switch (message) {
    case WM_KEYDOWN: return "WM_KEYDOWN";
    case WM_KEYUP: return "WM_KEYUP";
    case WM_SYSKEYDOWN: return "WM_SYSKEYDOWN";
    case WM_SYSKEYUP: return "WM_SYSKEYUP";
    case WM_CHAR: return "WM_CHAR";
    case WM_HOTKEY: return "WM_HOTKEY";
    default: return nullptr;
    }
}

void WriteLine(const char* name, WPARAM wParam, LPARAM lParam)
{
    char line[96];
    const int length = std::snprintf(line, sizeof line, "%lu %s wparam=%x lparam=%08x\n",
                                     static_cast<unsigned long>(GetTickCount() - StartTicks), name,
                                     static_cast<unsigned>(wParam), static_cast<unsigned>(lParam));
    DWORD written;
    EnterCriticalSection(&LogLock);
    if (Log != INVALID_HANDLE_VALUE)
        WriteFile(Log, line, static_cast<DWORD>(length), &written, nullptr);
    LeaveCriticalSection(&LogLock);
}

// The log appears only when the window has the focus: that is the caller's
// signal to start typing.
void OpenLogWhenFocused(HWND window)
{
    if (Log != INVALID_HANDLE_VALUE || GetForegroundWindow() != window || GetFocus() != window)
        return;
    const HANDLE log = CreateFileW(LogPath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    EnterCriticalSection(&LogLock);
    Log = log;
    LeaveCriticalSection(&LogLock);
    if (Log == INVALID_HANDLE_VALUE) {
        DestroyWindow(window);
        return;
    }
    ExitStatus = 0;
    KillTimer(window, FocusTimer);
}

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (const char* name = KeyboardMessageName(message)) {
        WriteLine(name, wParam, lParam);
        // Not passed on: Alt or F10 would open the system menu and take the keys.
        return 0;
    }
    switch (message) {
    case WM_SETFOCUS:
        OpenLogWhenFocused(window);
        return 0;
    case WM_TIMER:
        if (wParam == EndTimer) {
            DestroyWindow(window);
        } else {
            SetForegroundWindow(window);
            SetFocus(window);
            OpenLogWhenFocused(window);
        }
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

// The secure attention hot key goes to the windows of the desktop
// "Winlogon", which wine does not have unless someone creates it.
LRESULT CALLBACK WinlogonProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_HOTKEY) {
        WriteLine("WM_HOTKEY", wParam, lParam);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

struct WinlogonStart {
    HANDLE Done;
    HWND Window;
};

DWORD WINAPI WinlogonThread(LPVOID parameter)
{
    WinlogonStart& start = *static_cast<WinlogonStart*>(parameter);
    // A thread takes a desktop only before it has windows.
    const HDESK desktop = CreateDesktopW(L"Winlogon", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    HWND window = nullptr;
    if (desktop != nullptr && SetThreadDesktop(desktop)) {
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = WinlogonProcedure;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"KeyTargetWinlogon";
        if (RegisterClassW(&windowClass))
            window = CreateWindowExW(0, L"KeyTargetWinlogon", L"keytarget winlogon", WS_OVERLAPPEDWINDOW, 0, 0, 200,
                                     100, nullptr, nullptr, windowClass.hInstance, nullptr);
    }
    start.Window = window;
    SetEvent(start.Done);
    if (window == nullptr)
        return 1;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
    return 0;
}

}  // namespace

int main()
{
    StartTicks = GetTickCount();
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    wchar_t* end = nullptr;
    const bool winlogon = argc == 4 && std::wcscmp(argv[3], L"--winlogon") == 0;
    const unsigned long seconds = argc == 3 || winlogon ? std::wcstoul(argv[2], &end, 10) : 0;
    if (end == nullptr || end == argv[2] || *end != L'\0' || seconds == 0 || seconds > 86400) {
        std::fputs(Usage, stdout);
        return 1;
    }
    LogPath = argv[1];
    InitializeCriticalSection(&LogLock);
    if (winlogon) {
        // Its window exists before the log does: ready means both are.
        WinlogonStart start = {CreateEventW(nullptr, TRUE, FALSE, nullptr), nullptr};
        const HANDLE thread = CreateThread(nullptr, 0, WinlogonThread, &start, 0, nullptr);
        if (start.Done == nullptr || thread == nullptr ||
            WaitForSingleObject(start.Done, static_cast<DWORD>(seconds * 1000)) != WAIT_OBJECT_0 ||
            start.Window == nullptr)
            return 2;
        CloseHandle(thread);
        CloseHandle(start.Done);
    }

    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = WindowProcedure;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = L"KeyTarget";
    if (!RegisterClassW(&windowClass))
        return 2;
    const HWND window = CreateWindowExW(0, L"KeyTarget", L"keytarget", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 400,
                                        200, nullptr, nullptr, instance, nullptr);
    if (window == nullptr)
        return 2;
    SetTimer(window, EndTimer, static_cast<UINT>(seconds * 1000), nullptr);
    // Focus may come late (window manager, X server): ask again until it is ours.
    SetTimer(window, FocusTimer, 50, nullptr);
    SetForegroundWindow(window);
    SetFocus(window);
    OpenLogWhenFocused(window);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    EnterCriticalSection(&LogLock);
    if (Log != INVALID_HANDLE_VALUE)
        CloseHandle(Log);
    Log = INVALID_HANDLE_VALUE;
    LeaveCriticalSection(&LogLock);
    LocalFree(argv);
    return ExitStatus;
}
