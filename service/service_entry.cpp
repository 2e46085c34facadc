#include "polling/polling.h"
#include "service/configuration.h"
#include "service/host.h"
#include "service/log.h"

#include <mutex>

SERVICE_STATUS ServiceStatus;
SERVICE_STATUS_HANDLE StatusHandle = nullptr;
DWORD NextCheckPoint = 1;

namespace {
// The dispatcher thread (stop, interrogation) and the service thread both
// report; one report at a time keeps state and check point a pair.
std::mutex StatusLock;
}

namespace {

// Fills in and sends one report; the caller holds StatusLock.
BOOL ReportLocked(DWORD state, DWORD exitCode, DWORD waitHint)
{
    ServiceStatus.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
    ServiceStatus.dwCurrentState = state;
    ServiceStatus.dwWin32ExitCode = exitCode;
    ServiceStatus.dwWaitHint = waitHint;
    if (state == SERVICE_RUNNING || state == SERVICE_STOPPED)
        ServiceStatus.dwCheckPoint = 0;
    else
        ServiceStatus.dwCheckPoint = NextCheckPoint++;
    return SetServiceStatus(StatusHandle, &ServiceStatus);
}

}  // namespace

BOOL SetStatus(DWORD state, DWORD exitCode, DWORD waitHint)
{
    if (DebugMode)
        return TRUE;
    BOOL result;
    {
        std::lock_guard<std::mutex> guard(StatusLock);
        result = ReportLocked(state, exitCode, waitHint);
    }
    if (!result)
        LogError(MSG_SET_SERVICE_STATUS_FAILED, GetLastError(), nullptr);
    return result;
}

void WINAPI ServiceControlHandler(DWORD control)
{
    if (control == SERVICE_CONTROL_STOP) {
        SetStatus(SERVICE_STOP_PENDING, NO_ERROR, 0);
        StopService();
        return;
    }
    // The current state, read and reported in one hold of the lock: a
    // report from the service thread in between would make it stale.
    BOOL result;
    {
        std::lock_guard<std::mutex> guard(StatusLock);
        result = ReportLocked(ServiceStatus.dwCurrentState, NO_ERROR, 0);
    }
    if (!result)
        LogError(MSG_SET_SERVICE_STATUS_FAILED, GetLastError(), nullptr);
}

void WINAPI ServiceEntry(DWORD argc, LPSTR* argv)
{
    StatusHandle = RegisterServiceCtrlHandlerA(ServiceName, ServiceControlHandler);
    if (StatusHandle == nullptr)
        return;
    ServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    ServiceStatus.dwServiceSpecificExitCode = 0;
    if (SetStatus(SERVICE_START_PENDING, NO_ERROR, 3000)) {
        ErrorEventCount = 1;
        RunService(static_cast<int>(argc), argv);
    }
    if (StatusHandle != nullptr)
        SetStatus(SERVICE_STOPPED, NO_ERROR, 0);
}

void RunService(int, char**)
{
    ReadConfiguration();
    const ServiceConfigRecord& c = ServiceConfig;
    if (StartPolling(c.PortName, c.BaudRate, c.ByteSize, c.Parity, c.StopBits, c.DoLedBlinking, c.ErrorRetries,
                     c.ResponseTimeout, c.UseStdKeyboardSpeed, c.UseOptKeyCycleTime) &&
        SetStatus(SERVICE_RUNNING, NO_ERROR, 0))
        RunPollLoop();
    StopPolling();
}

void StopService()
{
    RequestStop();
}
