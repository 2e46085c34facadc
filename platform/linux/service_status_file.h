// The status a running service reports, kept in a small file under the
// runtime directory so that other processes (removal, tests) can query it.
#pragma once

#include "platform/linux/winsvc.h"

#include <string>

// "<runtime dir>/<lower-case service name>.status"; the runtime directory is
// the registry value "RuntimeDir" under HKEY_LOCAL_MACHINE\SOFTWARE\KplHost,
// default /run.
std::string ServiceStatusPath(const char* serviceName);
// The first instance of the service owns its status file: true for it. A
// second one (refused by the port it cannot open, say) neither writes nor
// removes it.
bool ClaimServiceStatus(const char* serviceName);
// The owner's status file goes with it.
void ReleaseServiceStatus(const char* serviceName);
// False, writing nothing, unless this process owns the status.
bool WriteServiceStatusFile(const char* serviceName, const SERVICE_STATUS& status, long pid);
// False when no service of that name is running (no file, or its process is gone).
bool ReadServiceStatusFile(const char* serviceName, SERVICE_STATUS& status, long& pid);
