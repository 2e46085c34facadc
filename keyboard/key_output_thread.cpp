#include "driver/panel_driver.h"
#include "keyboard/keyboard.h"
#include "link/link.h"
#include "polling/exchange.h"
#include "service/log.h"

#include <cstring>

bool AnyKeyDown = false;
HDESK InputDesktop = nullptr;

namespace {

constexpr int MaxCodes = sizeof(ScanCodeRecord::Codes);
// Set once the keys were released for a failed link, until it recovers.
bool ReleasedForFailedLink = false;

bool SameDesktop(HDESK a, HDESK b)
{
    char nameA[64], nameB[64];
    DWORD needed = 0;
    return GetUserObjectInformationA(a, UOI_NAME, nameA, sizeof nameA, &needed) &&
           GetUserObjectInformationA(b, UOI_NAME, nameB, sizeof nameB, &needed) && _stricmp(nameA, nameB) == 0;
}

// Keystrokes must reach the desktop the user sees. Every open gives a new
// handle, so desktops are recognised by name, and compared with the desktop
// this thread is really on: a new run's thread starts on the default one,
// and a failed restore after the secure attention key leaves it elsewhere.
// The handle in use stays open (Windows refuses to close it); the one it
// replaces is closed.
void FollowInputDesktop()
{
    HDESK desktop = OpenInputDesktop(0, FALSE, MAXIMUM_ALLOWED);
    if (desktop == nullptr) {
        LogError(MSG_OPEN_INPUT_DESKTOP_FAILED, GetLastError(), nullptr);
        return;
    }
    if (SameDesktop(desktop, GetThreadDesktop(GetCurrentThreadId()))) {
        CloseDesktop(desktop);
        return;
    }
    if (!SetThreadDesktop(desktop)) {
        LogError(MSG_SET_DESKTOP_FAILED, GetLastError(), nullptr);
        CloseDesktop(desktop);
        return;
    }
    HDESK previous = InputDesktop;
    InputDesktop = desktop;
    if (previous != nullptr)
        CloseDesktop(previous);
}

void ReadFocusLayout()
{
    GUITHREADINFO info;
    std::memset(&info, 0, sizeof info);
    info.cbSize = sizeof info;
    DWORD focusThread = 0;
    if (GetGUIThreadInfo(0, &info)) {
        focusThread = GetWindowThreadProcessId(info.hwndFocus, nullptr);
        DebugTrace("ID of thread with keyboard focus: %d\n", static_cast<int>(focusThread));
    }
    FocusLayout = GetKeyboardLayout(focusThread);
    DebugTrace("Keyboard layout: %x\n", static_cast<unsigned>(reinterpret_cast<UINT_PTR>(FocusLayout)));
}

int CodeCount(const ScanCodeRecord& record)
{
    return record.Length > MaxCodes ? MaxCodes : record.Length;
}

// The driver releases every held key when told the link failed, as at the
// end; its key-up events are injected so Windows is left with no key down.
// False when the driver refused the request.
bool ReleaseAllKeys(KeyRequest& request, KeyReply& reply)
{
    request.CommFailed = 1;
    reply.Records[0].Length = 0;
    if (!TranslateKeys(&request, &reply)) {
        LogError(MSG_DRIVER_REQUEST_FAILED, GetLastError(), nullptr);
        return false;
    }
    for (int i = 0; i < 128 && reply.Records[i].Length != 0; ++i)
        SendKeyUpSequence(reply.Records[i].Codes, CodeCount(reply.Records[i]));
    return true;
}

void KeyOutputTick(KeyRequest& request, KeyReply& reply, UINT_PTR* timerId, DWORD* cycleTime)
{
    DWORD lastError = 0;
    request.CommFailed = QueryCommError(&lastError) ? 1 : 0;
    if (!GetKeyMatrix(request.KeyMatrix, sizeof request.KeyMatrix)) {
        LogError(MSG_READ_KEY_MATRIX_FAILED, GetLastError(), nullptr);
        // Keys held when the link failed would stay down for ever: released
        // once, tried again each tick while the driver refuses; when the
        // link recovers, keys still held go down anew.
        if (!ReleasedForFailedLink && ReleaseAllKeys(request, reply)) {
            ReleasedForFailedLink = true;
            AnyKeyDown = false;
        }
        return;
    }
    ReleasedForFailedLink = false;
    bool keyDown = false;
    for (BYTE b : request.KeyMatrix)
        keyDown = keyDown || b != 0;
    if (keyDown && !AnyKeyDown)
        UpdateRepeatTiming(timerId, cycleTime);

    reply.Records[0].Length = 0;
    if (TranslateKeys(&request, &reply)) {
        if (!SetLedBlock(reply.LedBlock, sizeof reply.LedBlock))
            LogError(MSG_WRITE_LED_STATES_FAILED, GetLastError(), nullptr);
    } else {
        LogError(MSG_DRIVER_REQUEST_FAILED, GetLastError(), nullptr);
    }

    bool idle = !AnyKeyDown;
    AnyKeyDown = keyDown;
    for (int i = 0; i < 128 && reply.Records[i].Length != 0; ++i) {
        if (i == 0 && idle) {
            FollowInputDesktop();
            ReadFocusLayout();
        }
        SendKeySequence(reply.Records[i].Codes, CodeCount(reply.Records[i]));
    }
}

}  // namespace

DWORD WINAPI KeyOutputThread(LPVOID)
{
    DebugTrace("Kick off cycle of timer thread\n");
    UINT_PTR timerId = 0;
    DWORD cycleTime = 0xFFFFFFFF;
    UpdateRepeatTiming(&timerId, &cycleTime);
    DebugTrace("Increase timer thread priority\n");
    if (!SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL))
        LogError(MSG_SET_THREAD_PRIORITY_FAILED, GetLastError(), nullptr);

    KeyRequest request;
    std::memset(&request, 0, sizeof request);
    KeyReply reply;
    AnyKeyDown = false;
    ReleasedForFailedLink = false;

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_TIMER)
            KeyOutputTick(request, reply, &timerId, &cycleTime);
    }

    ReleaseAllKeys(request, reply);
    DebugTrace("Timer loop end\n");
    if (timerId != 0)
        KillTimer(nullptr, timerId);
    return 0;
}
