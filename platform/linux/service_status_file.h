// The status a running service reports, kept in a small file under the
// runtime directory so that other processes (removal, tests) can query it.
#pragma once

#include "platform/linux/winsvc.h"

#include <string>

// "<runtime dir>/<lower-case service name>.status"; the runtime directory is
// the registry value "RuntimeDir" under HKEY_LOCAL_MACHINE\SOFTWARE\KplHost,
// default /run.
std::string ServiceStatusPath(const char* serviceName);
bool WriteServiceStatusFile(const char* serviceName, const SERVICE_STATUS& status, long pid);
// False when no service of that name is running (no file, or its process is gone).
bool ReadServiceStatusFile(const char* serviceName, SERVICE_STATUS& status, long& pid);
