// Threads of the Linux layer and their message queues and timers.
#include "platform/win32.h"
#include "tests/support/counting_allocator.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
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

}  // namespace

// A full queue refuses posts until read, and keeps the order around the end
// of its ring, a quit included. Every GetMessageA here has a message
// waiting, so a fault fails the test instead of blocking it.
TEST(Messages, PostedMessagesKeepTheirOrderThroughAFullQueueAndQuit)
{
    std::thread([] {
        MakeQueue();
        const DWORD self = GetCurrentThreadId();
        WPARAM accepted = 0;
        while (accepted < 10000 && PostThreadMessageA(self, WM_USER, accepted, 0))
            ++accepted;
        EXPECT_EQ(accepted, 4096u);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_QUOTA);
        MSG msg{};
        ASSERT_GT(GetMessageA(&msg, nullptr, 0, 0), 0);
        EXPECT_EQ(msg.wParam, 0u);
        ASSERT_TRUE(PostThreadMessageA(self, WM_QUIT, 4096, 0));
        EXPECT_FALSE(PostThreadMessageA(self, WM_USER, 0, 0));
        for (WPARAM expected = 1; expected < 4096; ++expected) {
            ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
            ASSERT_EQ(msg.message, WM_USER);
            ASSERT_EQ(msg.wParam, expected);
        }
        EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), 0);
        EXPECT_EQ(msg.wParam, 4096u);
    }).join();
}

// A thread has no queue until it first reads: the key output thread's quit
// is posted again until it is taken.
TEST(Messages, APostBeforeTheThreadsFirstReadFails)
{
    std::atomic<DWORD> id{0};
    std::atomic<bool> mayRead{false}, hasRead{false};
    std::thread reader([&] {
        id = GetCurrentThreadId();
        kpltest::WaitUntil([&] { return mayRead.load(); });
        MakeQueue();
        hasRead = true;
        MSG msg;
        kpltest::WaitUntil([&] { return PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE) != FALSE; });
    });
    EXPECT_TRUE(kpltest::WaitUntil([&] { return id.load() != 0; }));
    EXPECT_FALSE(PostThreadMessageA(id, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_THREAD_ID);
    mayRead = true;
    EXPECT_TRUE(kpltest::WaitUntil([&] { return hasRead.load(); }));
    EXPECT_TRUE(PostThreadMessageA(id, WM_USER, 0, 0));
    reader.join();
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

// The poll and key output threads raise their priority as on Windows: the
// thread, and only it, gets ahead of the others. Raising needs CAP_SYS_NICE;
// without it the call succeeds all the same, as Windows never refuses it.
TEST(Threads, PriorityIsAppliedToTheThreadAlone)
{
    bool mayRaise = false;
    std::thread([&] { mayRaise = setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -1) == 0; }).join();
    const int ownNice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    for (int priority : {THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST}) {
        BOOL accepted = FALSE;
        int nice = 0;
        std::thread([&] {
            accepted = SetThreadPriority(GetCurrentThread(), priority);
            nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
        }).join();
        EXPECT_TRUE(accepted) << priority;
        EXPECT_EQ(nice < 0, mayRaise) << priority;
        EXPECT_LE(nice, 0) << priority;
    }
    EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())), ownNice);
}
