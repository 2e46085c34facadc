#include "platform/linux/call_failures.h"
#include "platform/linux/kernel_object.h"
#include "platform/linux/thread_internal.h"
#include "platform/linux/winbase.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

const HANDLE CurrentThreadPseudoHandle = (HANDLE)(LONG_PTR)-2;
// Accepted as Windows does: a pthread stack is all reservation anyway.
constexpr DWORD StackSizeIsReservation = 0x00010000u;

DWORD NewThreadId()
{
    // Multiples of 4 as on Windows; a 32-bit space of them is never used up
    // by one process, so an id is never handed out twice.
    static std::atomic<DWORD> next{0x400};
    DWORD id;
    do
        id = next.fetch_add(4, std::memory_order_relaxed);
    while (id == 0);
    return id;
}

struct ThreadState {
    explicit ThreadState(DWORD threadId) : id(threadId) {}
    const DWORD id;
    std::atomic<int> priority{THREAD_PRIORITY_NORMAL};
    std::atomic<pid_t> kernelId{0};  // 0 until the thread runs
    std::mutex lock;
    std::condition_variable ended;
    bool finished = false;
    DWORD exitCode = STILL_ACTIVE;

    void Finish(DWORD code)
    {
        std::lock_guard<std::mutex> guard(lock);
        finished = true;
        exitCode = code;
        ended.notify_all();
    }
};

class ThreadObject : public KernelObject {
public:
    explicit ThreadObject(std::shared_ptr<ThreadState> state) : state_(std::move(state)) {}
    const std::shared_ptr<ThreadState>& State() const { return state_; }

    DWORD Wait(DWORD milliseconds) override
    {
        std::unique_lock<std::mutex> guard(state_->lock);
        auto done = [this] { return state_->finished; };
        if (milliseconds == INFINITE) {
            state_->ended.wait(guard, done);
            return WAIT_OBJECT_0;
        }
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        return state_->ended.wait_until(guard, deadline, done) ? WAIT_OBJECT_0 : (DWORD)WAIT_TIMEOUT;
    }

private:
    std::shared_ptr<ThreadState> state_;
};

thread_local DWORD CurrentId = 0;
// Only for threads whose priority or exit code is asked for through the
// pseudo handle, or that were made by CreateThread.
thread_local std::shared_ptr<ThreadState> CurrentState;

std::shared_ptr<ThreadState> CurrentThreadState()
{
    if (!CurrentState) {
        CurrentState = std::make_shared<ThreadState>(GetCurrentThreadId());
        CurrentState->kernelId = gettid();
    }
    return CurrentState;
}

// Windows schedules a higher priority strictly first; Linux only weights a
// thread by its nice value, so each Windows step is five nice steps, about
// three times the share.
int NiceValue(int priority)
{
    switch (priority) {
    case THREAD_PRIORITY_TIME_CRITICAL: return -20;
    case THREAD_PRIORITY_IDLE: return 19;
    default: return -5 * priority;
    }
}

// The thread's nice value as its Windows priority asks. Raising it needs
// CAP_SYS_NICE (the systemd unit keeps it); without, the thread stays as it
// is and the call still succeeds: Windows never refuses these priorities to
// a normal process, and the service must behave there as here.
void ApplyPriority(const ThreadState& state)
{
    const pid_t thread = state.kernelId.load();
    if (thread != 0)
        setpriority(PRIO_PROCESS, static_cast<id_t>(thread), NiceValue(state.priority.load()));
}

std::shared_ptr<ThreadState> ThreadFromHandle(HANDLE handle)
{
    if (handle == CurrentThreadPseudoHandle)
        return CurrentThreadState();
    auto object = std::dynamic_pointer_cast<ThreadObject>(LookupKernelObject(handle));
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return object->State();
}

struct StartContext {
    std::shared_ptr<ThreadState> state;
    LPTHREAD_START_ROUTINE start;
    LPVOID parameter;
};

void* ThreadMain(void* argument)
{
    std::unique_ptr<StartContext> context(static_cast<StartContext*>(argument));
    CurrentId = context->state->id;
    CurrentState = context->state;
    // A priority set through the handle before the thread ran.
    context->state->kernelId = gettid();
    if (context->state->priority.load() != THREAD_PRIORITY_NORMAL)
        ApplyPriority(*context->state);
    DWORD code = context->start(context->parameter);
    ReleaseThreadMessageQueue();
    context->state->Finish(code);
    return nullptr;
}

bool ValidPriority(int priority)
{
    return (priority >= THREAD_PRIORITY_LOWEST && priority <= THREAD_PRIORITY_HIGHEST) ||
           priority == THREAD_PRIORITY_TIME_CRITICAL || priority == THREAD_PRIORITY_IDLE;
}

}  // namespace

std::atomic<CallFilter> FailingCallFilter{nullptr};

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                           LPVOID parameter, DWORD creationFlags, LPDWORD threadId)
{
    // CREATE_SUSPENDED has no pthread counterpart and the service never needs it.
    if (!start || (creationFlags & ~StackSizeIsReservation) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (FailingCall(SimulatedCall::CreateThread))
        return nullptr;
    auto state = std::make_shared<ThreadState>(NewThreadId());
    HANDLE handle = RegisterKernelObject(std::make_shared<ThreadObject>(state));
    auto* context = new StartContext{state, start, parameter};

    // Detached: the handle, not a join, tells when the thread has ended, and
    // closing it early must not leave a zombie behind.
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    size_t defaultSize = 0;
    pthread_attr_getstacksize(&attributes, &defaultSize);
    if (stackSize > defaultSize) {
        // Windows never gives less than the default reservation either.
        size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        pthread_attr_setstacksize(&attributes, (stackSize + page - 1) / page * page);
    }
    pthread_t thread;
    int error = pthread_create(&thread, &attributes, ThreadMain, context);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        delete context;
        CloseHandle(handle);
        SetLastError(error == EAGAIN ? (DWORD)ERROR_NOT_ENOUGH_MEMORY : WinErrorFromErrno(error));
        return nullptr;
    }
    if (threadId)
        *threadId = state->id;
    return handle;
}

HANDLE WINAPI GetCurrentThread(void)
{
    return CurrentThreadPseudoHandle;
}

DWORD WINAPI GetCurrentThreadId(void)
{
    if (CurrentId == 0)
        CurrentId = NewThreadId();
    return CurrentId;
}

BOOL WINAPI SetThreadPriority(HANDLE thread, int priority)
{
    auto state = ThreadFromHandle(thread);
    if (!state)
        return FALSE;
    if (!ValidPriority(priority)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    state->priority.store(priority);
    bool finished;
    {
        std::lock_guard<std::mutex> guard(state->lock);
        finished = state->finished;
    }
    if (!finished)
        ApplyPriority(*state);
    return TRUE;
}

int WINAPI GetThreadPriority(HANDLE thread)
{
    auto state = ThreadFromHandle(thread);
    if (!state)
        return THREAD_PRIORITY_ERROR_RETURN;
    return state->priority.load();
}

BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode)
{
    auto state = ThreadFromHandle(thread);
    if (!state)
        return FALSE;
    if (!exitCode) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(state->lock);
    *exitCode = state->exitCode;
    return TRUE;
}

void WINAPI Sleep(DWORD milliseconds)
{
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    if (milliseconds == INFINITE) {
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(24));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section)
{
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&section->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section)
{
    pthread_mutex_lock(&section->mutex);
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section)
{
    pthread_mutex_unlock(&section->mutex);
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section)
{
    pthread_mutex_destroy(&section->mutex);
}
