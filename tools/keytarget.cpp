// keytarget.exe: a window that takes the keyboard focus and logs every
// keyboard message it gets, the Windows counterpart of the key journal.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace {

const char Usage[] =
    "usage: keytarget.exe LOGFILE SECONDS\n"
    "Opens a window, takes the keyboard focus and writes one line per keyboard\n"
    "message to LOGFILE, flushed at once:\n"
    "  <ms since start> <WM_KEYDOWN|WM_KEYUP|WM_SYSKEYDOWN|WM_SYSKEYUP|WM_CHAR> wparam=<hex> lparam=<8 hex digits>\n"
    "(hex in lower case; the wparam of WM_CHAR is a UTF-16 code unit).\n"
    "LOGFILE is created only once the window is shown and has the focus: a caller\n"
    "waits for it to exist before it types. Ends on WM_CLOSE or after SECONDS.\n"
    "Exit status 0; 1 for a wrong command line; 2 when the window did not get the\n"
    "focus within SECONDS or LOGFILE could not be created.\n";

constexpr UINT_PTR EndTimer = 1;
constexpr UINT_PTR FocusTimer = 2;

DWORD StartTicks;
const wchar_t* LogPath;
HANDLE Log = INVALID_HANDLE_VALUE;
int ExitStatus = 2;

const char* KeyboardMessageName(UINT message)
{
    switch (message) {
    case WM_KEYDOWN: return "WM_KEYDOWN";
    case WM_KEYUP: return "WM_KEYUP";
    case WM_SYSKEYDOWN: return "WM_SYSKEYDOWN";
    case WM_SYSKEYUP: return "WM_SYSKEYUP";
    case WM_CHAR: return "WM_CHAR";
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
    WriteFile(Log, line, static_cast<DWORD>(length), &written, nullptr);
}

// The log appears only when the window has the focus: that is the caller's
// signal to start typing.
void OpenLogWhenFocused(HWND window)
{
    if (Log != INVALID_HANDLE_VALUE || GetForegroundWindow() != window || GetFocus() != window)
        return;
    Log = CreateFileW(LogPath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
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
        if (Log != INVALID_HANDLE_VALUE)
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

}  // namespace

int main()
{
    StartTicks = GetTickCount();
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    wchar_t* end = nullptr;
    const unsigned long seconds = argc == 3 ? std::wcstoul(argv[2], &end, 10) : 0;
    if (argc != 3 || end == argv[2] || *end != L'\0' || seconds == 0 || seconds > 86400) {
        std::fputs(Usage, stdout);
        return 1;
    }
    LogPath = argv[1];

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
    if (Log != INVALID_HANDLE_VALUE)
        CloseHandle(Log);
    LocalFree(argv);
    return ExitStatus;
}
