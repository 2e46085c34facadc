#include "platform/linux/host_notice.h"

#include <syslog.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {

std::atomic<bool> ServiceMode{false};

}  // namespace

void OpenServiceSyslog(const char* ident)
{
    // syslog keeps the ident pointer: it must outlive everything that logs.
    static char kept[64];
    static std::once_flag opened;
    std::call_once(opened, [ident] {
        std::snprintf(kept, sizeof kept, "%s", ident);
        openlog(kept, LOG_PID, LOG_DAEMON);
    });
}

void EnterServiceMode(const char* serviceName)
{
    OpenServiceSyslog(serviceName);
    ServiceMode = true;
}

void HostNotice(const char* format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fprintf(stderr, "%s\n", line);
    if (ServiceMode)
        syslog(LOG_WARNING, "%s", line);
}
