// Device requests of the Linux build: the panel driver model answers them.
#pragma once

#include "platform/linux/windef.h"

#define FILE_DEVICE_BEEP 0x00000001u
#define FILE_DEVICE_KEYBOARD 0x0000000bu
#define METHOD_BUFFERED 0u
#define FILE_ANY_ACCESS 0u
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))

typedef struct _OVERLAPPED* LPOVERLAPPED;

BOOL WINAPI DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                            LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped);
