// Lines for the administrator about the Linux machine under the service (a
// registry file that cannot be used, a device that cannot be opened), not
// events of the service: on standard error, and in syslog too while the
// process runs as a service.
#pragma once

void HostNotice(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The service dispatcher says so when it starts the service.
void EnterServiceMode(const char* serviceName);

// syslog under this name, opened once for the process: the event log and the
// notices share it.
void OpenServiceSyslog(const char* ident);
