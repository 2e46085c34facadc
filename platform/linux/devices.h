// How CreateFileA reaches what stands behind a name on the Linux build:
// serial ports on device paths, and the devices of the simulated machine
// ("\\.\PGW") from a table that whoever supplies them fills at start.
#pragma once

#include "platform/linux/kernel_object.h"

#include <memory>
#include <string>

// A serial port on a device path (a pseudo-terminal in tests, a UART on a
// panel). Null with *error set when it cannot be opened, errno telling why.
std::shared_ptr<KernelObject> OpenSerialPort(const std::string& devicePath, DWORD* error);

// Opens a fresh handle's object of one device; null with *error set when it
// cannot be opened.
using DeviceOpener = std::shared_ptr<KernelObject> (*)(DWORD* error);

// CreateFileA opens `name`, a Win32 device name such as "\\.\PGW" (matched
// without case), with `opener` from now on; a name registered again gets the
// new opener. Safe before main. False when the table is full or the name too long.
bool RegisterDevice(const char* name, DeviceOpener opener);

