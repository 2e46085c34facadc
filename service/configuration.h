// The service's configuration: read from its registry key at each start and
// handed to the polling engine field by field.
#pragma once

#include "platform/win32.h"

struct ServiceConfigRecord {
    char PortName[12];
    DWORD BaudRate;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    DWORD DoLedBlinking;
    DWORD ErrorRetries;
    DWORD ResponseTimeout;
    DWORD UseStdKeyboardSpeed;
    DWORD UseOptKeyCycleTime;
};
extern ServiceConfigRecord ServiceConfig;

// Fills ServiceConfig: defaults first, then every well-formed value of the
// service's registry key. Returns the error of opening the key, else the
// result of closing it.
LONG ReadConfiguration();
