#include "driver/panel_driver.h"

namespace {

HANDLE PanelDriver = INVALID_HANDLE_VALUE;

struct RepeatCycles {
    WORD Delay;
    WORD Interval;
};
static_assert(sizeof(RepeatCycles) == 4);

bool Request(DWORD code, const void* input, DWORD inputSize, void* output, DWORD outputSize)
{
    DWORD returned = 0;  // not used: the buffers have fixed sizes
    return DeviceIoControl(PanelDriver, code, const_cast<void*>(input), inputSize, output, outputSize, &returned,
                           nullptr) != FALSE;
}

}  // namespace

bool OpenPanelDriver()
{
    HANDLE device = CreateFileA(PanelDriverName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device == INVALID_HANDLE_VALUE)
        return false;
    PanelDriver = device;
    return true;
}

void ClosePanelDriver()
{
    if (PanelDriver == INVALID_HANDLE_VALUE)
        return;
    CloseHandle(PanelDriver);
    PanelDriver = INVALID_HANDLE_VALUE;
}

bool TranslateKeys(const KeyRequest* request, KeyReply* reply)
{
    return Request(IOCTL_PGW_TRANSLATE_KEYS, request, sizeof *request, reply, sizeof *reply);
}

bool SetRepeatCycles(WORD delayCycles, WORD intervalCycles)
{
    const RepeatCycles cycles{delayCycles, intervalCycles};
    return Request(IOCTL_PGW_SET_REPEAT_CYCLES, &cycles, sizeof cycles, nullptr, 0);
}

bool SetLockStates(DWORD lockMask)
{
    return Request(IOCTL_PGW_SET_LOCK_STATES, &lockMask, sizeof lockMask, nullptr, 0);
}
