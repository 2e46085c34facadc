#include "link/link.h"
#include "service/log.h"

CommMonitorRecord CommMonitor;

void InitCommMonitor(DWORD threshold)
{
    InitializeCriticalSection(&CommMonitor.Lock);
    CommMonitor.Failed = 0;
    CommMonitor.LastError = 0;
    CommMonitor.ErrorCount = 0;
    CommMonitor.Threshold = threshold;
}

void DeleteCommMonitor()
{
    DeleteCriticalSection(&CommMonitor.Lock);
}

void SetCommResult(DWORD code)
{
    // Printed outside the lock: the key output thread must not wait on a console.
    if (code != 0)
        DebugTrace("Communication error: %d (%08xh)\n", static_cast<int>(code), static_cast<unsigned>(code));
    EnterCriticalSection(&CommMonitor.Lock);
    if (code != 0) {
        CommMonitor.LastError = code;
        ++CommMonitor.ErrorCount;
        if (CommMonitor.ErrorCount > CommMonitor.Threshold)
            CommMonitor.Failed = 1;
    } else {
        CommMonitor.ErrorCount = 0;
        CommMonitor.Failed = 0;
    }
    LeaveCriticalSection(&CommMonitor.Lock);
}

DWORD QueryCommError(DWORD* lastError)
{
    EnterCriticalSection(&CommMonitor.Lock);
    *lastError = CommMonitor.LastError;
    DWORD failed = CommMonitor.Failed;
    LeaveCriticalSection(&CommMonitor.Lock);
    return failed;
}
