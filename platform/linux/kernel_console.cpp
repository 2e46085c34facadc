#include "platform/linux/kernel_object.h"
#include "platform/linux/winbase.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <iterator>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

// A signal handler may do next to nothing, so it only writes the event to a
// pipe; the handlers run on a dispatcher thread of their own, as Windows
// runs them on a thread it makes for the purpose.

namespace {

std::mutex HandlersLock;
std::vector<PHANDLER_ROUTINE>& Handlers()
{
    static auto* handlers = new std::vector<PHANDLER_ROUTINE>();
    return *handlers;
}
bool IgnoreCtrlC = false;
bool Installed = false;
std::atomic<int> PipeWrite{-1};

void OnSignal(int signal)
{
    int saved = errno;
    unsigned char event = signal == SIGQUIT ? CTRL_BREAK_EVENT : CTRL_C_EVENT;
    int fd = PipeWrite.load(std::memory_order_relaxed);
    if (fd >= 0) {
        // A full pipe drops the event: hundreds are already waiting.
        ssize_t ignored = write(fd, &event, 1);
        (void)ignored;
    }
    errno = saved;
}

void Dispatch(DWORD event)
{
    std::vector<PHANDLER_ROUTINE> handlers;
    {
        std::lock_guard<std::mutex> guard(HandlersLock);
        if (event == CTRL_C_EVENT && IgnoreCtrlC)
            return;
        // A copy, so that a handler may add or remove handlers.
        handlers = Handlers();
    }
    for (auto handler = handlers.rbegin(); handler != handlers.rend(); ++handler) {
        if ((*handler)(event))
            return;
    }
    // Nobody handled it: the process ends the way the signal ends it.
    int signal = event == CTRL_BREAK_EVENT ? SIGQUIT : SIGINT;
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    _exit(128 + signal);
}

void DispatcherMain(int fd)
{
    // The thread inherits its creator's mask; the re-raise must not be blocked.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGQUIT);
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    for (;;) {
        unsigned char event = 0;
        ssize_t got = read(fd, &event, 1);
        if (got == 1)
            Dispatch(event);
        else if (got < 0 && errno == EINTR)
            continue;
        else
            return;
    }
}

// Called with HandlersLock held.
bool Install()
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        SetLastError(WinErrorFromErrno(errno));
        return false;
    }
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    try {
        std::thread(DispatcherMain, fds[0]).detach();
    } catch (const std::system_error&) {
        close(fds[0]);
        close(fds[1]);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    PipeWrite.store(fds[1], std::memory_order_relaxed);
    struct sigaction action{};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGQUIT, &action, nullptr);
    Installed = true;
    return true;
}

}  // namespace

BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add)
{
    std::lock_guard<std::mutex> guard(HandlersLock);
    if (!Installed && !Install())
        return FALSE;
    if (!handler) {
        IgnoreCtrlC = add != FALSE;
        return TRUE;
    }
    auto& handlers = Handlers();
    if (add) {
        try {
            handlers.push_back(handler);
        } catch (const std::bad_alloc&) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
        return TRUE;
    }
    for (auto found = handlers.rbegin(); found != handlers.rend(); ++found) {
        if (*found == handler) {
            handlers.erase(std::next(found).base());
            return TRUE;
        }
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}
