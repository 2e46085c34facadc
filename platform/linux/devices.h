// How CreateFileA reaches what stands behind a name on the Linux build.
#pragma once

#include "platform/linux/kernel_object.h"

#include <memory>
#include <string>

// A serial port on a device path (a pseudo-terminal in tests, a UART on a
// panel). Null with *error set when it cannot be opened, errno telling why.
std::shared_ptr<KernelObject> OpenSerialPort(const std::string& devicePath, DWORD* error);

// A device of the simulated machine by its Win32 device name ("\\.\PGW").
// Null with *error set (ERROR_FILE_NOT_FOUND for a name it does not know).
std::shared_ptr<KernelObject> OpenSimulatedDevice(const char* name, DWORD* error);
