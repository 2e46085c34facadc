// The panel platform's kernel driver (device "\\.\PGW"): three requests and
// their buffers.
#pragma once

#include "platform/win32.h"

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
struct KeyRequest {
    DWORD CommFailed;
    BYTE KeyMatrix[16];
};

struct ScanCodeRecord {
    WORD Length;  // 0 ends the list
    BYTE Codes[22];
};

struct KeyReply {
    BYTE LedBlock[32];
    ScanCodeRecord Records[128];
};
#pragma pack(pop)

static_assert(sizeof(KeyRequest) == 20 && offsetof(KeyRequest, KeyMatrix) == 4);
static_assert(sizeof(ScanCodeRecord) == 24 && offsetof(ScanCodeRecord, Codes) == 2);
static_assert(sizeof(KeyReply) == 3104 && offsetof(KeyReply, Records) == 32);

inline constexpr const char* PanelDriverName = "\\\\.\\PGW";
// Device type 5, method buffered, any access.
inline constexpr DWORD IOCTL_PGW_TRANSLATE_KEYS = 0x5200C;     // function 0x803
inline constexpr DWORD IOCTL_PGW_SET_REPEAT_CYCLES = 0x52114;  // function 0x845
inline constexpr DWORD IOCTL_PGW_SET_LOCK_STATES = 0x52118;    // function 0x846

// Lock-key mask of SetLockStates.
inline constexpr DWORD LockNumLock = 0x1;
inline constexpr DWORD LockCapsLock = 0x2;
inline constexpr DWORD LockScrollLock = 0x4;

// Each request returns the call's success and leaves the last-error code.
bool OpenPanelDriver();
// Does nothing when the driver is not open.
void ClosePanelDriver();
bool TranslateKeys(const KeyRequest* request, KeyReply* reply);
bool SetRepeatCycles(WORD delayCycles, WORD intervalCycles);
bool SetLockStates(DWORD lockMask);
