// The panel driver behind "\\.\PGW" on the Linux build: key matrix bits
// become set-2 make and break sequences through a key map, the most recently
// pressed key repeats, lock states and key presses drive the LED block.
//
// Configured from the registry at each open, under
// HKEY_LOCAL_MACHINE\SOFTWARE\KplHost\Pgw: "Present"=dword:0 makes the
// device absent; values of the subkey KeyMap (name: key number, data: make
// and break bytes in hex, "E0 75/E0 F0 75") replace key map entries.
#pragma once

#include "platform/linux/kernel_object.h"
#include "platform/win32.h"

#include <memory>

// Repeat cycles until the service sets its own.
inline constexpr WORD DefaultRepeatDelay = 25;
inline constexpr WORD DefaultRepeatInterval = 3;

// A fresh run of the driver, as CreateFileA("\\.\PGW") opens it. Null with
// *error set while the registry makes it absent or it is open already.
std::shared_ptr<KernelObject> OpenPanelDriverModel(DWORD* error);
// Makes CreateFileA open the model as "\\.\PGW".
bool RegisterPanelDriverModel();

// Test hook, in the test suites' library kpl_sim only: the next `count`
// requests (with releasesOnly, requests to release every key) fail with
// `error`; a count of 0 stops failing.
void FailPanelDriverRequests(DWORD error, unsigned count, bool releasesOnly = false);
