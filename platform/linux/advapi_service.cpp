// Service dispatcher of the Linux build. Started by systemd (NOTIFY_SOCKET
// set) it runs the service as Windows does: the service main function on a
// thread of its own, the control handler on the dispatcher thread, SIGTERM
// as the stop control, status reports as sd_notify messages. From a console
// there is no service manager to connect to, as on Windows.
#include "platform/linux/kernel_object.h"
#include "platform/linux/service_status_file.h"
#include "platform/linux/winbase.h"
#include "platform/linux/winsvc.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <strings.h>
#include <thread>

namespace {

struct Dispatcher {
    std::mutex lock;
    std::string serviceName;
    LPHANDLER_FUNCTION handler = nullptr;
    int stoppedEvent = -1;  // written when the service reports SERVICE_STOPPED
    bool running = false;
};

Dispatcher& Current()
{
    static Dispatcher dispatcher;
    return dispatcher;
}

// The one status handle of the process's one service.
SERVICE_STATUS_HANDLE const TheStatusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5C);

const char* StateText(DWORD state)
{
    switch (state) {
    case SERVICE_START_PENDING: return "Starting";
    case SERVICE_RUNNING: return "Running";
    case SERVICE_STOP_PENDING: return "Stopping";
    case SERVICE_STOPPED: return "Stopped";
    default: return "Changing state";
    }
}

}  // namespace

BOOL WINAPI StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* serviceTable)
{
    if (serviceTable == nullptr || serviceTable[0].lpServiceName == nullptr ||
        serviceTable[0].lpServiceProc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const char* socket = std::getenv("NOTIFY_SOCKET");
    if (socket == nullptr || socket[0] == '\0') {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return FALSE;
    }
    Dispatcher& d = Current();
    {
        std::lock_guard<std::mutex> guard(d.lock);
        if (d.running) {
            SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
            return FALSE;
        }
        d.running = true;
        d.serviceName = serviceTable[0].lpServiceName;
        d.handler = nullptr;
        d.stoppedEvent = eventfd(0, EFD_CLOEXEC);
    }
    // SIGTERM is taken by this thread only: block it before the service
    // thread exists, so that every later thread inherits the block.
    sigset_t terminate, previous;
    sigemptyset(&terminate);
    sigaddset(&terminate, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &terminate, &previous);
    int signals = signalfd(-1, &terminate, SFD_CLOEXEC);

    LPSERVICE_MAIN_FUNCTIONA serviceMain = serviceTable[0].lpServiceProc;
    std::thread service([serviceMain, name = d.serviceName] {
        char* argv[] = {const_cast<char*>(name.c_str()), nullptr};
        serviceMain(1, argv);
    });

    for (;;) {
        pollfd waits[2] = {{signals, POLLIN, 0}, {d.stoppedEvent, POLLIN, 0}};
        if (poll(waits, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (waits[1].revents & POLLIN)
            break;
        if (waits[0].revents & POLLIN) {
            signalfd_siginfo info;
            if (read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                LPHANDLER_FUNCTION handler;
                {
                    std::lock_guard<std::mutex> guard(d.lock);
                    handler = d.handler;
                }
                if (handler != nullptr)
                    handler(SERVICE_CONTROL_STOP);
            }
        }
    }
    service.join();
    close(signals);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    {
        std::lock_guard<std::mutex> guard(d.lock);
        close(d.stoppedEvent);
        d.stoppedEvent = -1;
        d.handler = nullptr;
        d.running = false;
    }
    unlink(ServiceStatusPath(serviceTable[0].lpServiceName).c_str());
    return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerA(LPCSTR serviceName, LPHANDLER_FUNCTION handler)
{
    Dispatcher& d = Current();
    std::lock_guard<std::mutex> guard(d.lock);
    if (!d.running) {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return nullptr;
    }
    if (serviceName == nullptr || strcasecmp(serviceName, d.serviceName.c_str()) != 0 || handler == nullptr) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    d.handler = handler;
    return TheStatusHandle;
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE statusHandle, LPSERVICE_STATUS status)
{
    Dispatcher& d = Current();
    std::lock_guard<std::mutex> guard(d.lock);
    if (statusHandle != TheStatusHandle || !d.running || status == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    WriteServiceStatusFile(d.serviceName.c_str(), *status, static_cast<long>(getpid()));
    char message[160];
    const char* state = StateText(status->dwCurrentState);
    switch (status->dwCurrentState) {
    case SERVICE_RUNNING:
        std::snprintf(message, sizeof message, "READY=1\nSTATUS=%s", state);
        break;
    case SERVICE_STOP_PENDING:
        std::snprintf(message, sizeof message, "STOPPING=1\nSTATUS=%s (check point %u)", state,
                      static_cast<unsigned>(status->dwCheckPoint));
        break;
    case SERVICE_START_PENDING:
        std::snprintf(message, sizeof message, "STATUS=%s (check point %u, wait hint %u ms)", state,
                      static_cast<unsigned>(status->dwCheckPoint), static_cast<unsigned>(status->dwWaitHint));
        break;
    default:
        std::snprintf(message, sizeof message, "STATUS=%s", state);
        break;
    }
    int sent = sd_notify(0, message);
    if (status->dwCurrentState == SERVICE_STOPPED) {
        uint64_t one = 1;
        if (write(d.stoppedEvent, &one, sizeof one) < 0) {
            // The dispatcher also ends when the service thread returns.
        }
    }
    if (sent < 0) {
        SetLastError(WinErrorFromErrno(-sent));
        return FALSE;
    }
    return TRUE;
}
