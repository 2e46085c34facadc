// Linked into the service's executable only: what a Windows program never
// meets is settled before main, so that no command starts on a registry that
// cannot be used.
#include "platform/linux/host_notice.h"
#include "platform/linux/host_settings.h"
#include "platform/linux/winerror.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

__attribute__((constructor)) void StartProgram()
{
    // A console write to a pipe whose reader is gone fails, as on Windows,
    // instead of ending the process with a key down and the LEDs on.
    std::signal(SIGPIPE, SIG_IGN);
    const char* registry = std::getenv("KPL_REGISTRY");
    if (!registry || !*registry) {
        HostNotice("KPL_REGISTRY is not set: the registry is empty (COM3 is /dev/ttyS2, no event log file, "
                   "no key journal)");
        return;
    }
    // A corrupt registry is not a state Windows runs in; the fault (file,
    // line, what is wrong) has been told.
    if (RegistryStatus() != ERROR_SUCCESS) {
        std::fflush(nullptr);
        _exit(1);
    }
}

}  // namespace
