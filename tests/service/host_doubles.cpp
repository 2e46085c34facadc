#include "tests/service/host_doubles.h"
#include "polling/polling.h"

#include <new>

namespace doubles {

Host& State()
{
    static Host host;
    return host;
}

void Reset()
{
    Host& host = State();
    host.~Host();
    new (&host) Host();
}

}  // namespace doubles

using doubles::State;

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerA(LPCSTR, LPHANDLER_FUNCTION handler)
{
    if (State().registrationFails) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    State().handler = handler;
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(0x1234);
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS status)
{
    State().reports.push_back(*status);
    ++State().reportCount;
    if (static_cast<int>(State().reports.size()) == State().failStatusReport) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

bool StartPolling(const char* portName, DWORD baudRate, BYTE byteSize, BYTE parity, BYTE stopBits, DWORD, DWORD,
                  DWORD responseTimeout, DWORD, DWORD)
{
    State().calls.push_back("StartPolling " + std::string(portName) + " " + std::to_string(baudRate) + " " +
                            std::to_string(byteSize) + std::to_string(parity) + std::to_string(stopBits) + " " +
                            std::to_string(responseTimeout));
    if (State().duringStart)
        State().duringStart();
    return State().startSucceeds;
}

bool RunPollLoop()
{
    State().calls.push_back("RunPollLoop");
    if (State().duringLoop)
        State().duringLoop();
    return true;
}

void StopPolling()
{
    State().calls.push_back("StopPolling");
}

void RequestStop()
{
    ++State().stopRequests;
}
