#include "platform/linux/thread_internal.h"
#include "platform/linux/user_internal.h"
#include "platform/linux/winbase.h"
#include "platform/linux/winuser.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <unordered_map>
#include <vector>

// Once a thread has its queue, posting and reading allocate nothing: the
// service's timer ticks are checked for that with a counting allocator.

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t QueueCapacity = 4096;
constexpr std::size_t ReservedTimers = 16;
// Windows' USER_TIMER_MINIMUM and USER_TIMER_MAXIMUM.
constexpr UINT MinimumPeriod = 0x0000000A;
constexpr UINT MaximumPeriod = 0x7FFFFFFF;

struct Posted {
    UINT message;
    DWORD time;
    WPARAM wParam;
    LPARAM lParam;
};

struct Timer {
    UINT_PTR id;
    Clock::duration period;
    Clock::time_point due;
    TIMERPROC proc;
};

struct Filter {
    UINT min;
    UINT max;
    bool Matches(UINT message) const
    {
        // WM_QUIT gets through any filter, so a filtered loop still ends.
        if (message == WM_QUIT || min > max || (min == 0 && max == 0))
            return true;
        return message >= min && message <= max;
    }
};

struct Queue {
    Queue() { timers.reserve(ReservedTimers); }

    std::mutex lock;
    // A reader sleeps on a futex over the count of posts, not on a condition
    // variable: glibc's takes its mutex back as contended after each timed
    // wait, one more system call and more code touched on every tick.
    std::atomic<std::uint32_t> posts{0};
    std::atomic<int> sleepers{0};
    // Left uninitialised: a slot is written before it is read, and pages
    // never written stay out of the resident set (most of the ring is
    // never used).
    std::array<Posted, QueueCapacity> ring;
    std::size_t head = 0;
    std::size_t count = 0;
    std::vector<Timer> timers;

    Posted& At(std::size_t index) { return ring[(head + index) % QueueCapacity]; }

    void RemoveAt(std::size_t index)
    {
        if (index == 0) {
            head = (head + 1) % QueueCapacity;
        } else {
            for (std::size_t i = index; i + 1 < count; ++i)
                At(i) = At(i + 1);
        }
        --count;
    }
};

std::mutex RegistryLock;
std::unordered_map<DWORD, std::shared_ptr<Queue>>& Registry()
{
    // Never destroyed: threads may still post while the process exits.
    static auto* registry = new std::unordered_map<DWORD, std::shared_ptr<Queue>>();
    return *registry;
}

struct QueueSlot {
    std::shared_ptr<Queue> queue;
    DWORD owner = 0;

    ~QueueSlot() { Release(); }

    void Release()
    {
        if (!queue)
            return;
        {
            std::lock_guard<std::mutex> guard(RegistryLock);
            Registry().erase(owner);
        }
        queue.reset();
    }
};

thread_local QueueSlot Slot;

Queue* OwnQueue(bool create)
{
    if (!Slot.queue && create) {
        try {
            auto queue = std::make_shared<Queue>();
            DWORD owner = GetCurrentThreadId();
            {
                std::lock_guard<std::mutex> guard(RegistryLock);
                Registry().emplace(owner, queue);
            }
            Slot.owner = owner;
            Slot.queue = std::move(queue);
        } catch (const std::bad_alloc&) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
    }
    return Slot.queue.get();
}

std::atomic<UINT_PTR> NextTimerId{1};

UINT_PTR NewTimerId()
{
    UINT_PTR id;
    do
        id = NextTimerId.fetch_add(1, std::memory_order_relaxed);
    while (id == 0);
    return id;
}

bool ValidWindow(HWND window)
{
    // There are no windows here; (HWND)-1 asks for thread messages only,
    // which is all there is.
    if (window == nullptr || window == (HWND)(LONG_PTR)-1)
        return true;
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
}

void Fill(MSG* msg, UINT message, WPARAM wParam, LPARAM lParam, DWORD time)
{
    msg->hwnd = nullptr;
    msg->message = message;
    msg->wParam = wParam;
    msg->lParam = lParam;
    msg->time = time;
    msg->pt = POINT{0, 0};
}

// Posted messages come first; a timer's WM_TIMER exists only while nothing
// posted is waiting, and only once however many periods went by.
bool Retrieve(Queue& queue, const Filter& filter, bool remove, MSG* msg, Clock::time_point now)
{
    for (std::size_t i = 0; i < queue.count; ++i) {
        const Posted& posted = queue.At(i);
        if (!filter.Matches(posted.message))
            continue;
        Fill(msg, posted.message, posted.wParam, posted.lParam, posted.time);
        if (remove)
            queue.RemoveAt(i);
        return true;
    }
    if (!filter.Matches(WM_TIMER))
        return false;
    Timer* earliest = nullptr;
    for (Timer& timer : queue.timers) {
        if (timer.due <= now && (!earliest || timer.due < earliest->due))
            earliest = &timer;
    }
    if (!earliest)
        return false;
    Fill(msg, WM_TIMER, earliest->id, reinterpret_cast<LPARAM>(earliest->proc), GetTickCount());
    if (remove) {
        // Skip the missed periods but keep the phase.
        auto missed = (now - earliest->due) / earliest->period;
        earliest->due += (missed + 1) * earliest->period;
    }
    return true;
}

std::optional<Clock::time_point> NextDue(const Queue& queue, const Filter& filter)
{
    std::optional<Clock::time_point> next;
    if (!filter.Matches(WM_TIMER))
        return next;
    for (const Timer& timer : queue.timers) {
        if (!next || timer.due < *next)
            next = timer.due;
    }
    return next;
}

Clock::duration Period(UINT elapse)
{
    if (elapse < MinimumPeriod)
        elapse = MinimumPeriod;
    if (elapse > MaximumPeriod)
        elapse = MaximumPeriod;
    return std::chrono::milliseconds(elapse);
}

}  // namespace

void ReleaseThreadMessageQueue()
{
    Slot.Release();
}

BOOL WINAPI GetMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax)
{
    if (!msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (!ValidWindow(window))
        return -1;
    Queue* queue = OwnQueue(true);
    if (!queue)
        return -1;
    const Filter filter{filterMin, filterMax};
    std::unique_lock<std::mutex> guard(queue->lock);
    for (;;) {
        if (Retrieve(*queue, filter, true, msg, Clock::now()))
            return msg->message == WM_QUIT ? FALSE : TRUE;
        // Timers change only on this thread, so the earliest due time
        // cannot move while we wait; only a post needs to wake us.
        const auto next = NextDue(*queue, filter);
        const std::uint32_t seen = queue->posts.load(std::memory_order_relaxed);
        queue->sleepers.fetch_add(1, std::memory_order_seq_cst);
        guard.unlock();
        timespec at{};
        if (next) {
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(next->time_since_epoch()).count();
            at = timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        }
        syscall(SYS_futex, &queue->posts, FUTEX_WAIT_BITSET_PRIVATE, seen, next ? &at : nullptr, nullptr,
                FUTEX_BITSET_MATCH_ANY);
        queue->sleepers.fetch_sub(1, std::memory_order_relaxed);
        guard.lock();
    }
}

BOOL WINAPI PeekMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax, UINT removeMessage)
{
    if (!msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!ValidWindow(window))
        return FALSE;
    Queue* queue = OwnQueue(true);
    if (!queue)
        return FALSE;
    std::lock_guard<std::mutex> guard(queue->lock);
    return Retrieve(*queue, Filter{filterMin, filterMax}, (removeMessage & PM_REMOVE) != 0, msg, Clock::now())
               ? TRUE
               : FALSE;
}

BOOL WINAPI PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam)
{
    std::shared_ptr<Queue> queue;
    {
        std::lock_guard<std::mutex> guard(RegistryLock);
        auto found = Registry().find(threadId);
        if (found == Registry().end()) {
            SetLastError(ERROR_INVALID_THREAD_ID);
            return FALSE;
        }
        queue = found->second;
    }
    {
        std::lock_guard<std::mutex> guard(queue->lock);
        if (queue->count == QueueCapacity) {
            SetLastError(ERROR_NOT_ENOUGH_QUOTA);
            return FALSE;
        }
        queue->At(queue->count) = Posted{message, GetTickCount(), wParam, lParam};
        ++queue->count;
        queue->posts.fetch_add(1, std::memory_order_seq_cst);
    }
    if (queue->sleepers.load(std::memory_order_seq_cst) != 0)
        syscall(SYS_futex, &queue->posts, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    return TRUE;
}

UINT_PTR WINAPI SetTimer(HWND window, UINT_PTR eventId, UINT elapse, TIMERPROC timerFunc)
{
    if (window != nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (FailingCall(SimulatedCall::SetTimer))
        return 0;
    Queue* queue = OwnQueue(true);
    if (!queue)
        return 0;
    const auto period = Period(elapse);
    std::lock_guard<std::mutex> guard(queue->lock);
    const auto due = Clock::now() + period;
    // Without a window an unknown id is ignored and a new one made; only
    // this thread's own timer is reset.
    if (eventId != 0) {
        for (Timer& timer : queue->timers) {
            if (timer.id == eventId) {
                timer.period = period;
                timer.due = due;
                timer.proc = timerFunc;
                return timer.id;
            }
        }
    }
    try {
        queue->timers.push_back(Timer{NewTimerId(), period, due, timerFunc});
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    return queue->timers.back().id;
}

BOOL WINAPI KillTimer(HWND window, UINT_PTR eventId)
{
    if (window != nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (Queue* queue = OwnQueue(false)) {
        std::lock_guard<std::mutex> guard(queue->lock);
        for (auto timer = queue->timers.begin(); timer != queue->timers.end(); ++timer) {
            if (timer->id == eventId) {
                queue->timers.erase(timer);
                return TRUE;
            }
        }
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}
