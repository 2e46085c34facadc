#include "platform/win32.h"
#include "tests/support/counting_allocator.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Each case runs on a thread of its own, hence with a queue of its own.
template <class Body>
void OnFreshThread(Body body)
{
    std::thread(body).join();
}

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

TEST(Messages, PostedMessagesKeepTheirOrderThroughFiltersAndQuit)
{
    // Every GetMessageA here is preceded by a Peek that proves a match is
    // queued, so a fault fails the test instead of blocking it.
    OnFreshThread([] {
        MSG msg{};
        EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
        const DWORD self = GetCurrentThreadId();
        const DWORD postedFrom = GetTickCount();
        for (UINT message : {WM_USER + 1, WM_USER + 5, WM_USER + 2, WM_QUIT, WM_USER + 3})
            ASSERT_TRUE(PostThreadMessageA(self, message, message, -LPARAM(message)));

        ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_USER + 2, WM_USER + 9, PM_NOREMOVE));
        EXPECT_EQ(msg.message, WM_USER + 5);
        ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_USER + 5, WM_USER + 5, PM_REMOVE));
        for (UINT expected : {WM_USER + 1, WM_USER + 2}) {
            ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
            ASSERT_GT(GetMessageA(&msg, nullptr, 0, 0), 0);
            EXPECT_EQ(msg.message, expected);
            EXPECT_EQ(msg.wParam, expected);
            EXPECT_EQ(msg.lParam, -LPARAM(expected));
            // Stamped at posting: between then and now, however slow the machine.
            EXPECT_LE(DWORD(msg.time - postedFrom), DWORD(GetTickCount() - postedFrom));
        }
        // WM_QUIT gets through any filter; what came after it stays.
        ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_USER + 6, WM_USER + 9, PM_NOREMOVE));
        ASSERT_EQ(msg.message, WM_QUIT);
        EXPECT_EQ(GetMessageA(&msg, nullptr, WM_USER + 6, WM_USER + 9), 0);
        EXPECT_EQ(msg.message, WM_QUIT);
        ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
        EXPECT_GT(GetMessageA(&msg, nullptr, 0, 0), 0);
        EXPECT_EQ(msg.message, WM_USER + 3);
        EXPECT_EQ(GetMessageA(nullptr, nullptr, 0, 0), -1);
    });
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
    OnFreshThread([] {
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
    });
}

TEST(Messages, FullQueueRefusesPostsUntilRead)
{
    OnFreshThread([] {
        MakeQueue();
        const DWORD self = GetCurrentThreadId();
        WPARAM accepted = 0;
        while (accepted < 10000 && PostThreadMessageA(self, WM_USER, accepted, 0))
            ++accepted;
        EXPECT_EQ(accepted, 4096u);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_QUOTA);
        MSG msg{};
        ASSERT_GT(GetMessageA(&msg, nullptr, 0, 0), 0);
        EXPECT_TRUE(PostThreadMessageA(self, WM_USER, 4096, 0));
        // Around the end of the ring, still in order.
        for (WPARAM expected = 1; expected <= 4096; ++expected) {
            ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
            ASSERT_EQ(msg.wParam, expected);
        }
    });
}

TEST(Timers, AKilledTimerStopsAndOnlyItsOwnIdIsTaken)
{
    OnFreshThread([] {
        const auto start = Clock::now();
        // Due first every time, so a WM_TIMER of it would show up.
        UINT_PTR killed = SetTimer(nullptr, 0, 15, nullptr);
        UINT_PTR kept = SetTimer(nullptr, 0, 15, nullptr);
        ASSERT_NE(killed, 0u);
        ASSERT_NE(kept, killed);
        EXPECT_EQ(SetTimer(nullptr, kept, 15, nullptr), kept);
        ASSERT_TRUE(KillTimer(nullptr, killed));
        EXPECT_FALSE(KillTimer(nullptr, killed));
        MSG msg{};
        for (int i = 0; i < 4; ++i) {
            ASSERT_GT(GetMessageA(&msg, nullptr, 0, 0), 0);
            EXPECT_EQ(msg.message, WM_TIMER);
            EXPECT_EQ(msg.wParam, kept);
        }
        EXPECT_GE(Clock::now() - start, 4 * 15ms);
    });
}

TEST(Timers, AbsentReaderGetsOneTickPerTimerAndThePhaseIsKept)
{
    OnFreshThread([] {
        constexpr auto Period = 100ms;
        auto start = Clock::now();
        UINT_PTR first = SetTimer(nullptr, 0, 100, nullptr);
        SetTimer(nullptr, 0, 100, nullptr);
        // Away for four and a half periods, out of step with the timers.
        ASSERT_TRUE(kpltest::WaitUntil([&] { return Clock::now() - start >= 4 * Period + Period / 2; }));
        ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_USER, 0, 0));

        int ticks[2] = {0, 0};
        MSG msg{};
        ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
        EXPECT_EQ(msg.message, WM_USER) << "posted messages come before timers";
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            ++ticks[msg.wParam == first ? 0 : 1];
        auto drained = Clock::now() - start;
        // Two only if a slow machine crossed the next expiry while draining.
        for (int count : ticks) {
            EXPECT_GE(count, 1);
            EXPECT_LE(count, drained < 5 * Period ? 1 : 2);
        }

        // The next one on the timers' own beat, missed ones not made up.
        ASSERT_GT(GetMessageA(&msg, nullptr, 0, 0), 0);
        EXPECT_EQ(msg.message, WM_TIMER);
        EXPECT_GE(Clock::now() - start, 5 * Period);
        EXPECT_LT(Clock::now() - start - drained, 5 * Period);
    });
}
