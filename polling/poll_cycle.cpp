#include "keyboard/keyboard.h"
#include "link/commands.h"
#include "link/link.h"
#include "polling/polling.h"
#include "service/log.h"

#include <cstring>

DWORD BlinkTick;
DWORD BlinkPhase;

namespace {

constexpr UINT PollPeriod = 50;      // ms
constexpr DWORD TicksPerPhase = 5;   // 250 ms a blink phase

HANDLE KeyThread = nullptr;
DWORD KeyThreadId = 0;
bool LedPending = false;

// Polls in a row that brought no key matrix (no answer, or an answer with
// an unexpected id). A held key survives one such poll, so a single lost
// answer does not type it twice; a Keypanel that stopped answering, or
// answers only nonsense, must not leave it held and repeating for ever.
DWORD MissedMatrices = 0;
constexpr DWORD MissedMatricesBeforeRelease = 2;

void MissedKeyMatrix()
{
    if (++MissedMatrices < MissedMatricesBeforeRelease)
        return;
    EnterCriticalSection(&ExchangeLock);
    std::memset(KeyMatrix, 0, sizeof KeyMatrix);
    LeaveCriticalSection(&ExchangeLock);
}

// Sends one request under ExchangeLock, so that its payload is one
// consistent snapshot; the last error survives the unlock.
bool SendLocked(BYTE command, const BYTE* payload, BYTE length)
{
    EnterCriticalSection(&ExchangeLock);
    bool sent = SendRequest(command, payload, length);
    DWORD error = GetLastError();
    LeaveCriticalSection(&ExchangeLock);
    SetLastError(error);
    return sent;
}

void PollTick()
{
    const char* name;
    bool sent;
    if (LedBlinkMode) {
        DWORD phase = AdvanceBlinkPhase();
        name = StatusName;
        sent = SendLocked(CommandStatus, BlinkPatterns[phase], LedPatternSize);
    } else if (LedPending) {
        LedPending = false;
        name = LedsName;
        sent = SendLocked(CommandLeds, LedBlock, LedBlockSize);
    } else {
        name = KeysName;
        sent = SendRequest(CommandKeys, nullptr, 0);
    }
    if (!sent) {
        LogError(MSG_WRITE_REQUEST_FAILED, GetLastError(), name);
        return;
    }

    BYTE id = 0;
    const BYTE* payload = nullptr;
    if (!ReadResponse(&id, &payload)) {
        DWORD error = GetLastError();
        if (error == ERROR_OPERATION_ABORTED)
            return;  // a stop: its quit is queued
        LogError(MSG_READ_RESPONSE_FAILED, error, name);
        // No answer, or one that never made a frame.
        if (error == ERROR_TIMEOUT || error == ERROR_INVALID_DATA)
            MissedKeyMatrix();
        return;
    }
    if (id == 0)
        return;  // checksum failure, already counted by the monitor
    if (id == ResponseStatus || id == ResponseKeys || id == ResponseLeds) {
        MissedMatrices = 0;
        EnterCriticalSection(&ExchangeLock);
        std::memcpy(KeyMatrix, payload, KeyMatrixSize);
        LeaveCriticalSection(&ExchangeLock);
        return;
    }
    LogEvent(MSG_UNEXPECTED_RESPONSE, 0, nullptr, &id, 1);
    MissedKeyMatrix();
}

// Ends the key output thread with its quit message and waits for it. A
// thread that has not yet made its message queue cannot take a post, so
// the post is repeated until it is taken or the thread has ended.
void EndKeyOutputThread()
{
    if (KeyThreadId != 0) {
        while (!PostThreadMessageA(KeyThreadId, WM_QUIT, 0, 0)) {
            if (WaitForSingleObject(KeyThread, 5) != WAIT_TIMEOUT)
                break;
        }
        KeyThreadId = 0;
    }
    WaitForSingleObject(KeyThread, INFINITE);
    CloseHandle(KeyThread);
    KeyThread = nullptr;
}

void SwitchLedsOff()
{
    EnterCriticalSection(&ExchangeLock);
    bool sent;
    const char* name;
    if (LedBlinkMode) {
        std::memset(BlinkPatterns[0], 0, sizeof BlinkPatterns[0]);
        name = StatusName;
        sent = SendRequest(CommandStatus, BlinkPatterns[0], LedPatternSize);
    } else {
        std::memset(LedBlock, 0, sizeof LedBlock);
        name = LedsName;
        sent = SendRequest(CommandLeds, LedBlock, LedBlockSize);
    }
    DWORD error = GetLastError();
    LeaveCriticalSection(&ExchangeLock);
    if (!sent)
        LogError(MSG_WRITE_REQUEST_FAILED, error, name);
}

}  // namespace

DWORD AdvanceBlinkPhase()
{
    if (++BlinkTick == TicksPerPhase) {
        BlinkTick = 0;
        if (++BlinkPhase > 3)
            BlinkPhase = 0;
    }
    return BlinkPhase;
}

bool RunPollLoop()
{
    LedPending = false;
    MissedMatrices = 0;
    DebugTrace("Create timer thread\n");
    KeyThread = CreateThread(nullptr, 0, KeyOutputThread, nullptr, 0, &KeyThreadId);
    if (KeyThread == nullptr) {
        LogError(MSG_CREATE_THREAD_FAILED, GetLastError(), nullptr);
        KeyThreadId = 0;
        return false;
    }
    DebugTrace("Kick off cycle of main thread\n");
    UINT_PTR timer = SetTimer(nullptr, 0, PollPeriod, nullptr);
    if (timer == 0) {
        LogError(MSG_SET_TIMER_FAILED, GetLastError(), nullptr);
        // Never terminated: a terminated thread may die holding ExchangeLock.
        EndKeyOutputThread();
        return false;
    }
    LogError(MSG_SERVICE_STARTED, 0, nullptr);

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_TIMER) {
            PollTick();
        } else if (message.message == WM_LED_STATES_CHANGED) {
            DebugTrace("LED states changed\n");
            LedPending = true;
        }
    }

    DebugTrace("Main loop end\n");
    KillTimer(nullptr, timer);
    SwitchLedsOff();
    EndKeyOutputThread();
    LogError(MSG_SERVICE_STOPPED, 0, nullptr);
    return true;
}
