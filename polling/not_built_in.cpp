// Until the engine is built in, a run ends right after its start-up.
#include "polling/polling.h"
#include "service/service.h"

bool StartPolling(const char*, DWORD, BYTE, BYTE, BYTE, DWORD, DWORD, DWORD, DWORD, DWORD)
{
    DebugTrace("Polling engine not built in\n");
    return false;
}

bool RunPollLoop()
{
    return false;
}

void StopPolling() {}

void RequestStop() {}
