#include "driver/panel_driver.h"
#include "keyboard/keyboard.h"
#include "link/commands.h"
#include "link/link.h"
#include "polling/polling.h"
#include "service/log.h"

#include <cstring>

KeypanelInfoRecord KeypanelInfo;

namespace {

bool ExchangeLockReady = false;

BYTE Bcd(BYTE value)
{
    return static_cast<BYTE>((value >> 4) * 10 + (value & 0x0F));
}

void DecodeIdentification(const BYTE* payload)
{
    KeypanelInfoRecord& info = KeypanelInfo;
    BYTE major = payload[IdentifyMajorOffset];
    BYTE minor = payload[IdentifyMinorOffset];
    info.MajorVersion = Bcd(major);
    info.MinorVersion = Bcd(minor);
    std::memcpy(info.Version, "00.00", sizeof info.Version);
    info.Version[0] = static_cast<char>(info.Version[0] + (major >> 4));
    info.Version[1] = static_cast<char>(info.Version[1] + (major & 0x0F));
    info.Version[3] = static_cast<char>(info.Version[3] + (minor >> 4));
    info.Version[4] = static_cast<char>(info.Version[4] + (minor & 0x0F));
    std::memcpy(info.Type, payload + IdentifyTypeOffset, IdentifyTypeLength);
    info.Type[IdentifyTypeLength] = '\0';
    info.KeyCount = payload[IdentifyKeyCountOffset];
    info.LedCount = payload[IdentifyLedCountOffset];
}

// Windows takes no stop while a start is pending, so the identification
// ends after this long whatever ErrorRetries and ResponseTimeout say.
constexpr DWORD IdentifyTimeLimit = 30000;

// One IDENTIFY request and its response; a write or read failure is logged
// on the first attempt only, so a dead line leaves one such event and the
// final verdict. A time-out, or reads ended early, is no real failure.
bool TryIdentify(bool first, const BYTE** payload, bool* realFailure)
{
    DebugTrace("Write identify request\n");
    if (!SendRequest(CommandIdentify, nullptr, 0)) {
        if (first)
            LogError(MSG_WRITE_REQUEST_FAILED, GetLastError(), IdentifyName);
        *realFailure = true;
        return false;
    }
    DebugTrace("Read identify response\n");
    BYTE id = 0;
    if (!ReadResponse(&id, payload)) {
        DWORD error = GetLastError();
        if (error == ERROR_TIMEOUT || error == ERROR_OPERATION_ABORTED)
            return false;
        if (first)
            LogError(MSG_READ_RESPONSE_FAILED, error, IdentifyName);
        *realFailure = true;
        return false;
    }
    if (id == ResponseIdentify)
        return true;
    LogEvent(MSG_UNEXPECTED_RESPONSE, 0, nullptr, &id, 1);
    *realFailure = true;
    return false;
}

// Up to errorRetries + 1 attempts, at once one after the other, within
// IdentifyTimeLimit; a stop ends them without a verdict.
bool IdentifyKeypanel(DWORD errorRetries, const BYTE** payload)
{
    bool realFailure = false;
    LimitReads(IdentifyTimeLimit);
    bool identified = false;
    for (DWORD attempt = 0; !identified; ++attempt) {
        identified = TryIdentify(attempt == 0, payload, &realFailure);
        if (attempt == errorRetries || ReadsAborted())
            break;
    }
    LimitReads(INFINITE);
    if (identified)
        return true;
    if (MainThreadId.load() == 0)
        return false;
    if (realFailure)
        LogError(MSG_COMMUNICATION_FAILED, 0, nullptr);
    else
        LogError(MSG_KEYPANEL_NOT_PRESENT, 0, nullptr);
    return false;
}

}  // namespace

bool StartPolling(const char* portName, DWORD baudRate, BYTE byteSize, BYTE parity, BYTE stopBits,
                  DWORD doLedBlinking, DWORD errorRetries, DWORD responseTimeout, DWORD useStdKeyboardSpeed,
                  DWORD useOptKeyCycleTime)
{
    DebugTrace("Initialize comm data\n");
    InitCommMonitor(errorRetries);

    InitializeCriticalSection(&ExchangeLock);
    ExchangeLockReady = true;
    std::memset(&KeypanelInfo, 0, sizeof KeypanelInfo);
    ResetExchange();
    LedBlinkMode = doLedBlinking;
    BlinkTick = 0;
    BlinkPhase = 0;
    MainThreadId = 0;
    UseStdKeyboardSpeed = useStdKeyboardSpeed;
    UseOptKeyCycleTime = useOptKeyCycleTime;

    DebugTrace("Open PGW device\n");
    if (!OpenPanelDriver()) {
        LogError(MSG_OPEN_DRIVER_FAILED, GetLastError(), nullptr);
        return false;
    }
    DebugTrace("Open KPL port\n");
    if (!OpenPort(portName)) {
        LogError(MSG_OPEN_PORT_FAILED, GetLastError(), portName);
        return false;
    }
    DebugTrace("Config KPL port\n");
    if (!ConfigurePort(baudRate, parity, byteSize, stopBits, responseTimeout)) {
        LogError(MSG_CONFIG_PORT_FAILED, GetLastError(), portName);
        return false;
    }

    BYTE locks = 0;
    if (GetKeyState(VK_NUMLOCK) & 1)
        locks |= LockNumLock;
    if (GetKeyState(VK_CAPITAL) & 1)
        locks |= LockCapsLock;
    if (GetKeyState(VK_SCROLL) & 1)
        locks |= LockScrollLock;
    if (!SetLockStates(locks))
        LogError(MSG_SET_KEY_STATES_FAILED, GetLastError(), nullptr);

    // The queue must exist before the id is published: a stop posted to a
    // thread without a queue would be lost.
    MSG message;
    PeekMessageA(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    MainThreadId = GetCurrentThreadId();

    DebugTrace("Increase main thread priority\n");
    if (!SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST))
        LogError(MSG_SET_THREAD_PRIORITY_FAILED, GetLastError(), nullptr);

    const BYTE* payload = nullptr;
    if (!IdentifyKeypanel(errorRetries, &payload))
        return false;

    DecodeIdentification(payload);
    // Old controllers of this type cannot blink by themselves.
    if (KeypanelInfo.MajorVersion < 2 && std::strcmp(KeypanelInfo.Type, "TKP10KEY") == 0)
        LedBlinkMode = 1;
    LogEvent(MSG_KEYPANEL_VERSION, 0, KeypanelInfo.Version, KeypanelInfo.Type, sizeof KeypanelInfo.Type);
    PublishKeypanelInfo(&KeypanelInfo);
    return true;
}

LONG PublishKeypanelInfo(const KeypanelInfoRecord* info)
{
    HKEY key;
    // HKLM\HARDWARE is volatile: Windows refuses a stored key under it
    // (ERROR_CHILD_MUST_BE_VOLATILE), so the identity is kept as volatile
    // as the rest of that hive.
    LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\PGW\\KPL", 0, nullptr, REG_OPTION_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (result != ERROR_SUCCESS)
        return result;
    DWORD keyCount = info->KeyCount;
    DWORD ledCount = info->LedCount;
    RegSetValueExA(key, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(info->Version), sizeof info->Version);
    RegSetValueExA(key, "Type", 0, REG_SZ, reinterpret_cast<const BYTE*>(info->Type), sizeof info->Type);
    RegSetValueExA(key, "KeyCount", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&keyCount), sizeof keyCount);
    RegSetValueExA(key, "LedCount", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&ledCount), sizeof ledCount);
    return RegCloseKey(key);
}

void StopPolling()
{
    DebugTrace("Close KPL port\n");
    ClosePort();
    DebugTrace("Close PGW device\n");
    ClosePanelDriver();
    DeleteCommMonitor();
    // No stop request may reach a thread whose engine has ended.
    MainThreadId = 0;
    if (ExchangeLockReady) {
        DeleteCriticalSection(&ExchangeLock);
        ExchangeLockReady = false;
    }
}
