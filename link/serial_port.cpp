#include "link/link.h"

#include <algorithm>
#include <atomic>

HANDLE PortHandle = INVALID_HANDLE_VALUE;
DWORD ResponseDeadline = DefaultResponseTimeout;
DWORD ReadSlices = 1;

namespace {

std::atomic<bool> ReadsEnded{false};
DWORD ReadLimit = INFINITE;
DWORD ReadLimitFrom = 0;

}  // namespace

void AbortReads()
{
    ReadsEnded = true;
}

void LimitReads(DWORD milliseconds)
{
    ReadLimitFrom = GetTickCount();
    ReadLimit = milliseconds;
}

bool ReadsAborted()
{
    return ReadsEnded || (ReadLimit != INFINITE && GetTickCount() - ReadLimitFrom >= ReadLimit);
}

bool OpenPort(const char* portName)
{
    ReadsEnded = false;
    CutFrameIndex = 0;
    PortHandle = CreateFileA(portName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    return PortHandle != INVALID_HANDLE_VALUE;
}

DWORD ResponseDeadlineFor(DWORD baudRate, BYTE parity, BYTE byteSize, BYTE stopBits, DWORD responseTimeout)
{
    // Bits a character takes on the wire: start bit, data, parity, stop
    // bits (one and a half counted as two).
    DWORD bits = 1u + byteSize + (parity != NOPARITY ? 1u : 0u) + (stopBits == ONESTOPBIT ? 1u : 2u);
    unsigned long long byteTimes =
        baudRate != 0 ? (MaxResponseBytes * bits * 1000ull + baudRate - 1) / baudRate : responseTimeout;
    // A huge time-out is a long wait, never a deadline that wrapped round.
    return responseTimeout +
           static_cast<DWORD>(std::min<unsigned long long>(byteTimes, INFINITE - responseTimeout));
}

bool ConfigurePort(DWORD baudRate, BYTE parity, BYTE byteSize, BYTE stopBits, DWORD responseTimeout)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(PortHandle, &dcb))
        return false;
    dcb.BaudRate = baudRate;
    dcb.Parity = parity;
    dcb.ByteSize = byteSize;
    dcb.StopBits = stopBits;
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = 0;
    if (!SetCommState(PortHandle, &dcb))
        return false;

    COMMTIMEOUTS timeouts{};
    if (!GetCommTimeouts(PortHandle, &timeouts))
        return false;
    // All-zero read time-outs mean "no time-out" on Windows: a silent
    // Keypanel would then hold the main thread where no stop reaches it.
    DWORD t = responseTimeout != 0 ? responseTimeout : DefaultResponseTimeout;
    // Equal slices that add up to at least t.
    ReadSlices = t / MaxReadSlice + (t % MaxReadSlice != 0);
    DWORD slice = t / ReadSlices + (t % ReadSlices != 0);
    timeouts.ReadIntervalTimeout = slice;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = slice;
    timeouts.WriteTotalTimeoutMultiplier = 10;
    timeouts.WriteTotalTimeoutConstant = 1000;
    ResponseDeadline = ResponseDeadlineFor(baudRate, parity, byteSize, stopBits, t);
    if (!SetCommTimeouts(PortHandle, &timeouts))
        return false;
    // Whatever waits in the port belongs to no exchange of this run: the
    // unread answer to the last run's final request, or noise while no one
    // listened. Read by IDENTIFY, it would put polling one answer behind.
    return PurgeComm(PortHandle, PURGE_TXCLEAR | PURGE_RXCLEAR) != FALSE;
}

void ClosePort()
{
    if (PortHandle == INVALID_HANDLE_VALUE)
        return;
    HANDLE port = PortHandle;
    PortHandle = INVALID_HANDLE_VALUE;
    CloseHandle(port);
}
