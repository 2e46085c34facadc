// Service dispatcher of the Linux build. Started by systemd (NOTIFY_SOCKET
// set) it runs the service as Windows does: the service main function on a
// thread of its own, the control handler on the dispatcher thread, SIGTERM
// as the stop control, status reports as systemd notify messages. From a console
// there is no service manager to connect to, as on Windows. Only the first
// instance of a service keeps its status file.
#include "platform/linux/host_notice.h"
#include "platform/linux/kernel_object.h"
#include "platform/linux/service_status_file.h"
#include "platform/linux/winbase.h"
#include "platform/linux/winsvc.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <strings.h>
#include <thread>

namespace {

struct Dispatcher {
    std::mutex lock;
    std::string serviceName;
    LPHANDLER_FUNCTION handler = nullptr;
    int wake = -1;               // written at every status report and when the service main returns
    bool running = false;
    bool acceptsStop = false;    // as the last status report said
    bool stopHeld = false;       // a SIGTERM that came while stop was not accepted
    bool stopped = false;        // SERVICE_STOPPED was reported
    bool mainReturned = false;
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

// systemd's notify protocol: one datagram to $NOTIFY_SOCKET, an absolute
// path or, after '@', an abstract name. Sent here rather than through
// libsystemd, whose own dependencies would cost the process most of a
// megabyte of mappings. 0 when there is nobody to tell, 1 when sent,
// -errno otherwise, as sd_notify answers.
int NotifyServiceManager(const char* message)
{
    const char* target = std::getenv("NOTIFY_SOCKET");
    if (target == nullptr)
        return 0;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(target);
    if ((target[0] != '/' && target[0] != '@') || length < 2 || length > sizeof address.sun_path)
        return -EINVAL;
    std::memcpy(address.sun_path, target, length);
    // A path is given with its terminating zero where there is room for
    // one; an abstract name is exactly its bytes.
    socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    if (target[0] == '@')
        address.sun_path[0] = '\0';
    else if (length < sizeof address.sun_path)
        ++size;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -errno;
    ssize_t sent = sendto(fd, message, std::strlen(message), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address), size);
    int error = errno;
    close(fd);
    return sent < 0 ? -error : 1;
}

void Wake(int fd)
{
    uint64_t one = 1;
    if (write(fd, &one, sizeof one) < 0) {
        // An eventfd write fails only when the counter would overflow: it is set anyway.
    }
}

// The stop control goes to the handler once the service accepts it; until
// then the SIGTERM is held, as Windows' service control manager never loses
// a stop it was asked for.
LPHANDLER_FUNCTION StopToDeliver(Dispatcher& d)
{
    if (!d.stopHeld || d.stopped || !d.acceptsStop || d.handler == nullptr)
        return nullptr;
    d.stopHeld = false;
    return d.handler;
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
        d.wake = eventfd(0, EFD_CLOEXEC);
        d.acceptsStop = d.stopHeld = d.stopped = d.mainReturned = false;
    }
    EnterServiceMode(serviceTable[0].lpServiceName);
    ClaimServiceStatus(serviceTable[0].lpServiceName);
    // SIGTERM is taken by this thread only: block it before the service
    // thread exists, so that every later thread inherits the block.
    sigset_t terminate, previous;
    sigemptyset(&terminate);
    sigaddset(&terminate, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &terminate, &previous);
    int signals = signalfd(-1, &terminate, SFD_CLOEXEC);

    LPSERVICE_MAIN_FUNCTIONA serviceMain = serviceTable[0].lpServiceProc;
    std::thread service([serviceMain, name = d.serviceName, &d] {
        char* argv[] = {const_cast<char*>(name.c_str()), nullptr};
        serviceMain(1, argv);
        std::lock_guard<std::mutex> guard(d.lock);
        d.mainReturned = true;
        Wake(d.wake);
    });

    for (;;) {
        LPHANDLER_FUNCTION deliver = nullptr;
        {
            std::lock_guard<std::mutex> guard(d.lock);
            if (d.stopped || d.mainReturned)
                break;
            deliver = StopToDeliver(d);
        }
        if (deliver != nullptr) {
            deliver(SERVICE_CONTROL_STOP);
            continue;
        }
        pollfd waits[2] = {{signals, POLLIN, 0}, {d.wake, POLLIN, 0}};
        if (poll(waits, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (waits[1].revents & POLLIN) {
            uint64_t count;
            if (read(d.wake, &count, sizeof count) < 0) {
                // Nothing to do: the state is read under the lock above.
            }
        }
        if (waits[0].revents & POLLIN) {
            signalfd_siginfo info;
            if (read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                std::lock_guard<std::mutex> guard(d.lock);
                d.stopHeld = true;
            }
        }
    }
    service.join();
    close(signals);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    bool unreported;
    {
        std::lock_guard<std::mutex> guard(d.lock);
        unreported = !d.stopped;
        close(d.wake);
        d.wake = -1;
        d.handler = nullptr;
        d.running = false;
    }
    ReleaseServiceStatus(serviceTable[0].lpServiceName);
    if (unreported) {
        // The service control manager sees the process end without a stopped
        // report as a service that terminated unexpectedly; systemd is told
        // the same by the exit status.
        NotifyServiceManager("STATUS=Stopped without reporting it");
        HostNotice("%s: the service %s ended without reporting SERVICE_STOPPED", program_invocation_short_name,
                   serviceTable[0].lpServiceName);
        std::fflush(nullptr);
        _exit(1);
    }
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
    d.acceptsStop = (status->dwControlsAccepted & SERVICE_ACCEPT_STOP) != 0;
    d.stopped |= status->dwCurrentState == SERVICE_STOPPED;
    Wake(d.wake);
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
    int sent = NotifyServiceManager(message);
    if (sent < 0) {
        SetLastError(WinErrorFromErrno(-sent));
        return FALSE;
    }
    return TRUE;
}
