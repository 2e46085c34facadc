#include "link/link.h"

HANDLE PortHandle = INVALID_HANDLE_VALUE;
DWORD ResponseDeadline = DefaultResponseTimeout;

bool OpenPort(const char* portName)
{
    PortHandle = CreateFileA(portName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    return PortHandle != INVALID_HANDLE_VALUE;
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
    timeouts.ReadIntervalTimeout = t;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = t;
    timeouts.WriteTotalTimeoutMultiplier = 10;
    timeouts.WriteTotalTimeoutConstant = 1000;
    // Bits a character takes on the wire: start bit, data, parity, stop
    // bits (one and a half counted as two).
    DWORD bits = 1u + byteSize + (parity != NOPARITY ? 1u : 0u) + (stopBits == ONESTOPBIT ? 1u : 2u);
    DWORD wire = baudRate != 0 ? static_cast<DWORD>((MaxResponseBytes * bits * 1000ull + baudRate - 1) / baudRate) : t;
    ResponseDeadline = t + wire;
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
