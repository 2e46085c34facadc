// Threads of the Linux layer and their message queues and timers. The
// module's own file name, cut short, is the command line suite's.
#include "platform/win32.h"
#include "tests/support/counting_allocator.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>

#include <sys/resource.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

void MakeQueue()
{
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
}

std::atomic<DWORD> ReaderId;
std::atomic<int> ReaderStep;  // 1: may read, 2: has read, 3: posted to, 4: checked

// Keeps a finished thread in its exit until the test has looked, so the
// queue must be gone before the handle is signalled, not soon after.
struct LingerAtExit {
    ~LingerAtExit() { kpltest::WaitUntil([] { return ReaderStep.load() == 4; }); }
};

DWORD WINAPI ReadOnceAndEnd(LPVOID)
{
    static thread_local LingerAtExit linger;
    (void)&linger;
    ReaderId = GetCurrentThreadId();
    kpltest::WaitUntil([] { return ReaderStep.load() == 1; });
    MakeQueue();
    ReaderStep = 2;
    kpltest::WaitUntil([] { return ReaderStep.load() >= 3; });
    return 0;
}

}  // namespace

// A full queue refuses posts until read, and keeps the order around the end
// of its ring; WM_QUIT ends GetMessageA and what came after it stays. Every
// GetMessageA here has a message waiting, so a fault fails the test instead
// of blocking it.
TEST(Messages, PostedMessagesKeepTheirOrderThroughAFullQueueAndQuit)
{
    std::thread([] {
        MSG msg{};
        EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
        const DWORD self = GetCurrentThreadId();
        const DWORD postedFrom = GetTickCount();
        WPARAM accepted = 0;
        while (accepted < 10000 && PostThreadMessageA(self, WM_USER, accepted, -LPARAM(accepted)))
            ++accepted;
        EXPECT_EQ(accepted, 4096u);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_QUOTA);
        for (WPARAM expected : {0, 1}) {
            ASSERT_GT(GetMessageA(&msg, nullptr, 0, 0), 0);
            EXPECT_EQ(msg.wParam, expected);
            // Stamped at posting: between then and now, however slow the machine.
            EXPECT_LE(DWORD(msg.time - postedFrom), DWORD(GetTickCount() - postedFrom));
        }
        for (UINT message : {UINT(WM_QUIT), WM_USER + 3})
            ASSERT_TRUE(PostThreadMessageA(self, message, 4096, -4096));
        EXPECT_FALSE(PostThreadMessageA(self, WM_USER, 0, 0));
        for (WPARAM expected = 2; expected < 4096; ++expected) {
            ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
            ASSERT_EQ(msg.message, WM_USER);
            ASSERT_EQ(msg.wParam, expected);
            ASSERT_EQ(msg.lParam, -LPARAM(expected));
        }
        EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), 0);
        EXPECT_EQ(msg.message, WM_QUIT);
        EXPECT_GT(GetMessageA(&msg, nullptr, 0, 0), 0);
        EXPECT_EQ(msg.message, WM_USER + 3);
        EXPECT_EQ(GetMessageA(nullptr, nullptr, 0, 0), -1);
    }).join();
}

TEST(Messages, QueueLivesFromTheFirstReadToTheEndOfItsThread)
{
    // A std::thread, which has no handle, loses its queue at thread exit.
    for (bool viaCreateThread : {true, false}) {
        SCOPED_TRACE(viaCreateThread ? "CreateThread" : "std::thread");
        ReaderId = 0;
        ReaderStep = 0;
        HANDLE handle = nullptr;
        std::thread thread;
        if (viaCreateThread)
            handle = CreateThread(nullptr, 0, ReadOnceAndEnd, nullptr, 0, nullptr);
        else
            thread = std::thread(ReadOnceAndEnd, nullptr);
        EXPECT_TRUE(kpltest::WaitUntil([] { return ReaderId.load() != 0; }));
        EXPECT_FALSE(PostThreadMessageA(ReaderId, WM_USER, 0, 0));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_THREAD_ID);
        ReaderStep = 1;
        EXPECT_TRUE(kpltest::WaitUntil([] { return ReaderStep.load() == 2; }));
        EXPECT_TRUE(PostThreadMessageA(ReaderId, WM_USER, 0, 0));
        if (viaCreateThread) {
            ReaderStep = 3;
            EXPECT_EQ(WaitForSingleObject(handle, 5000), WAIT_OBJECT_0);
            CloseHandle(handle);
        } else {
            ReaderStep = 4;
            thread.join();
        }
        SetLastError(0);
        EXPECT_FALSE(PostThreadMessageA(ReaderId, WM_USER, 0, 0));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_THREAD_ID);
        ReaderStep = 4;
    }
}

// Two threads play ping-pong, each meeting the other blocked in
// GetMessageA: a lost wake-up hangs the game, an allocation shows in the
// count. Timers, the other half of a tick, are counted by the engine suite.
TEST(Messages, BlockedReaderWakesOnEveryPostAndNothingAllocates)
{
    std::thread([] {
        MakeQueue();
        const DWORD self = GetCurrentThreadId();
        std::thread echo([self] {
            MakeQueue();
            PostThreadMessageA(self, WM_USER + 1, GetCurrentThreadId(), 0);
            MSG msg;
            while (GetMessageA(&msg, nullptr, 0, 0) > 0)
                PostThreadMessageA(self, WM_USER + 2, msg.wParam + 1, 0);
        });
        MSG msg{};
        ASSERT_GT(GetMessageA(&msg, nullptr, WM_USER + 1, WM_USER + 1), 0);
        const DWORD echoId = DWORD(msg.wParam);
        kpltest::StartAllocationCount();
        for (WPARAM value = 0; value < 300; value += 2) {
            ASSERT_TRUE(PostThreadMessageA(echoId, WM_USER, value + 1, 0));
            ASSERT_GT(GetMessageA(&msg, nullptr, 0, 0), 0);
            ASSERT_EQ(msg.wParam, value + 2);
        }
        EXPECT_EQ(kpltest::StopAllocationCount(), 0);
        PostThreadMessageA(echoId, WM_QUIT, 0, 0);
        echo.join();
    }).join();
}

// A killed timer ticks no more; one that nobody read for a while ticks
// once, then on its own beat again.
TEST(Timers, AbsentReaderGetsOneTickPerTimerAndThePhaseIsKept)
{
    std::thread([] {
        constexpr auto Period = 200ms;
        auto start = Clock::now();
        const UINT_PTR timers[] = {SetTimer(nullptr, 0, 200, nullptr), SetTimer(nullptr, 0, 200, nullptr)};
        // Due first every time, so a WM_TIMER of it would show up.
        const UINT_PTR killed = SetTimer(nullptr, 0, 10, nullptr);
        ASSERT_TRUE(timers[0] != 0 && timers[1] != 0 && killed != 0);
        ASSERT_TRUE(KillTimer(nullptr, killed));
        EXPECT_FALSE(KillTimer(nullptr, killed));
        // Away for 4.7 periods: a timer that lost its phase would tick next
        // 0.7 periods after the beat.
        ASSERT_TRUE(kpltest::WaitUntil([&] { return Clock::now() - start >= 4 * Period + Period * 7 / 10; }));
        ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_USER, 0, 0));

        std::map<UINT_PTR, int> ticks;
        MSG msg{};
        ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
        EXPECT_EQ(msg.message, WM_USER) << "posted messages come before timers";
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            ++ticks[msg.wParam];
        auto drained = Clock::now() - start;
        EXPECT_EQ(ticks.size(), 2u);
        // Two only if a slow machine crossed the next expiry while draining.
        for (UINT_PTR timer : timers) {
            EXPECT_GE(ticks[timer], 1);
            EXPECT_LE(ticks[timer], drained < 5 * Period ? 1 : 2);
        }

        // The next one on the timers' own beat, missed ones not made up.
        const auto beat = (drained / Period + 1) * Period;
        ASSERT_GT(GetMessageA(&msg, nullptr, 0, 0), 0);
        EXPECT_EQ(msg.message, WM_TIMER);
        EXPECT_NE(msg.wParam, killed);
        EXPECT_GE(Clock::now() - start, beat);
        EXPECT_LT(Clock::now() - start, beat + Period / 3);
    }).join();
}

struct PriorityRow {
    int priority;
    int sign;  // of the nice value the thread must get: -1 above others, 1 below
};

int NiceOfThreadAfter(int priority, BOOL* accepted)
{
    struct Run {
        int priority;
        BOOL accepted;
        int nice;
    } run{priority, FALSE, 0};
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID argument) -> DWORD {
            auto* r = static_cast<Run*>(argument);
            r->accepted = SetThreadPriority(GetCurrentThread(), r->priority);
            r->nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
            return 0;
        },
        &run, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    CloseHandle(thread);
    *accepted = run.accepted;
    return run.nice;
}

// The service raises its threads' priority as on Windows: the thread, and
// only it, gets ahead of (or behind) the others. Raising needs CAP_SYS_NICE;
// without it the call succeeds all the same, as Windows never refuses it.
TEST(Threads, PriorityIsAppliedToTheThreadAlone)
{
    bool mayRaise = false;
    std::thread([&] { mayRaise = setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -1) == 0; }).join();
    const int ownNice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    for (const PriorityRow& row : {PriorityRow{THREAD_PRIORITY_LOWEST, 1}, PriorityRow{THREAD_PRIORITY_BELOW_NORMAL, 1},
                                   PriorityRow{THREAD_PRIORITY_ABOVE_NORMAL, -1}, PriorityRow{THREAD_PRIORITY_HIGHEST, -1}}) {
        BOOL accepted = FALSE;
        const int nice = NiceOfThreadAfter(row.priority, &accepted);
        EXPECT_TRUE(accepted) << row.priority;
        if (row.sign > 0)
            EXPECT_GT(nice, 0) << row.priority;
        else if (mayRaise)
            EXPECT_LT(nice, 0) << row.priority;
        else
            EXPECT_EQ(nice, 0) << row.priority;
    }
    EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())), ownNice);
}
