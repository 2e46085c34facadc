#include "platform/win32.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

// Holds a thread until the test lets it go.
struct Gate {
    std::promise<void> open;
    std::shared_future<void> opened = open.get_future().share();
};

DWORD WINAPI WaitForGate(LPVOID gate)
{
    static_cast<Gate*>(gate)->opened.wait();
    return 7;
}

DWORD WINAPI ReportOwnId(LPVOID id)
{
    *static_cast<DWORD*>(id) = GetCurrentThreadId();
    return 0;
}

std::string ExecutablePath()
{
    char path[4096] = {};
    EXPECT_GT(readlink("/proc/self/exe", path, sizeof path - 1), 0);
    return path;
}

}  // namespace

TEST(Threads, WaitTimesOutThenSeesTheExitCode)
{
    Gate gate;
    HANDLE thread = CreateThread(nullptr, 0, WaitForGate, &gate, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(thread, 20), (DWORD)WAIT_TIMEOUT);

    gate.open.set_value();
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(thread));
}

TEST(Threads, HandleMayBeClosedBeforeTheThreadEnds)
{
    static std::atomic<bool> finished;
    finished = false;
    Gate gate;
    auto body = [](LPVOID parameter) -> DWORD {
        static_cast<Gate*>(parameter)->opened.wait();
        finished = true;
        return 0;
    };
    HANDLE thread = CreateThread(nullptr, 0, body, &gate, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(CloseHandle(thread));
    DWORD code = 0;
    EXPECT_FALSE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    gate.open.set_value();
    EXPECT_TRUE(kpltest::WaitUntil([] { return finished.load(); }));
}

TEST(Threads, IdsAreUniqueAndNeverReused)
{
    std::set<DWORD> ids{GetCurrentThreadId()};
    // One after another, so that a finished thread's id could be reused.
    for (int i = 0; i < 20; ++i) {
        DWORD id = 0;
        if (i % 2 == 0) {
            std::thread(ReportOwnId, &id).join();
        } else {
            DWORD reported = 0;
            HANDLE thread = CreateThread(nullptr, 0, ReportOwnId, &id, 0, &reported);
            ASSERT_NE(thread, nullptr);
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
            EXPECT_EQ(reported, id);
        }
        EXPECT_NE(id, 0u);
        EXPECT_TRUE(ids.insert(id).second) << "id " << id << " handed out twice";
    }
}

TEST(Threads, SuspendedCreationIsRefused)
{
    Gate gate;
    EXPECT_EQ(CreateThread(nullptr, 0, WaitForGate, &gate, CREATE_SUSPENDED, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST(Threads, PriorityIsRecordedPerThreadAndValidated)
{
    Gate gate;
    HANDLE other = CreateThread(nullptr, 0, WaitForGate, &gate, 0, nullptr);
    ASSERT_EQ(GetCurrentThread(), (HANDLE)(LONG_PTR)-2);
    for (HANDLE thread : {GetCurrentThread(), other}) {
        for (int valid : {-15, -2, -1, 0, 1, 2, 15})
            EXPECT_TRUE(SetThreadPriority(thread, valid) && GetThreadPriority(thread) == valid) << valid;
        for (int invalid : {-16, -14, -3, 3, 14, 16}) {
            EXPECT_FALSE(SetThreadPriority(thread, invalid)) << invalid;
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER) << invalid;
        }
        EXPECT_EQ(GetThreadPriority(thread), 15);
    }
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    int elsewhere = -99;
    std::thread([&] { elsewhere = GetThreadPriority(GetCurrentThread()); }).join();
    EXPECT_EQ(elsewhere, THREAD_PRIORITY_NORMAL);
    EXPECT_EQ(GetThreadPriority(reinterpret_cast<HANDLE>(ULONG_PTR(0x7FFFFFF0))), THREAD_PRIORITY_ERROR_RETURN);
    gate.open.set_value();
    WaitForSingleObject(other, INFINITE);
    CloseHandle(other);
}

TEST(CriticalSection, IsRecursiveAndExcludesOtherThreads)
{
    static CRITICAL_SECTION section;
    static std::atomic<bool> entered;
    entered = false;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);
    LeaveCriticalSection(&section);
    auto body = [](LPVOID) -> DWORD {
        EnterCriticalSection(&section);
        entered = true;
        LeaveCriticalSection(&section);
        return 0;
    };
    HANDLE thread = CreateThread(nullptr, 0, body, nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    // Still held once: the other thread must stay out.
    EXPECT_EQ(WaitForSingleObject(thread, 50), (DWORD)WAIT_TIMEOUT);
    EXPECT_FALSE(entered);
    LeaveCriticalSection(&section);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(entered);
    CloseHandle(thread);
    DeleteCriticalSection(&section);
}

TEST(CriticalSection, CountsUnderContentionAddUp)
{
    struct Shared {
        CRITICAL_SECTION section;
        long counter = 0;  // plain on purpose: only the section guards it
    } shared;
    InitializeCriticalSection(&shared.section);
    auto body = [](LPVOID parameter) -> DWORD {
        auto* s = static_cast<Shared*>(parameter);
        for (int round = 0; round < 5000; ++round) {
            EnterCriticalSection(&s->section);
            ++s->counter;
            LeaveCriticalSection(&s->section);
        }
        return 0;
    };
    std::vector<HANDLE> threads;
    for (int i = 0; i < 4; ++i)
        threads.push_back(CreateThread(nullptr, 0, body, &shared, 0, nullptr));
    for (HANDLE thread : threads) {
        ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    EXPECT_EQ(shared.counter, 4 * 5000L);
    DeleteCriticalSection(&shared.section);
}

TEST(Time, SystemTimeIsUtcNow)
{
    SYSTEMTIME now{};
    GetSystemTime(&now);
    tm fields{now.wSecond, now.wMinute, now.wHour, now.wDay, now.wMonth - 1, now.wYear - 1900, 0, 0, 0, 0, nullptr};
    EXPECT_LE(std::abs(double(timegm(&fields) - time(nullptr))), 2.0);
    EXPECT_EQ(now.wDayOfWeek, fields.tm_wday);
    EXPECT_LT(now.wMilliseconds, 1000);
}

TEST(Time, TickCountFollowsTheSteadyClock)
{
    auto start = std::chrono::steady_clock::now();
    DWORD first = GetTickCount();
    ASSERT_TRUE(kpltest::WaitUntil([&] { return DWORD(GetTickCount() - first) >= 40; }));
    DWORD ticks = GetTickCount() - first;
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    // Both are whole milliseconds of the same clock, read inside the span.
    EXPECT_GE(elapsed.count(), 39);
    EXPECT_LE(ticks, DWORD(elapsed.count()) + 2);
}

TEST(Module, FileNameIsTheExecutableTruncatedAsOnWindows)
{
    const std::string path = ExecutablePath();
    const DWORD length = DWORD(path.size());
    struct Case {
        DWORD size;
        DWORD returned;
        bool truncated;
    };
    for (Case c : {Case{1, 1, true}, Case{5, 5, true}, Case{length, length, true}, Case{length + 1, length, false},
                   Case{4096, length, false}}) {
        std::string buffer(c.size + 8, '#');
        SetLastError(0);
        EXPECT_EQ(GetModuleFileNameA(nullptr, buffer.data(), c.size), c.returned) << c.size;
        EXPECT_EQ(std::string(buffer.c_str()), path.substr(0, std::min(length, c.size - 1))) << c.size;
        EXPECT_EQ(buffer[c.size], '#') << "wrote past the buffer of " << c.size;
        EXPECT_EQ(GetLastError(), c.truncated ? (DWORD)ERROR_INSUFFICIENT_BUFFER : 0u) << c.size;
    }
}

TEST(Module, HandleStandsForTheExecutable)
{
    HMODULE self = GetModuleHandleA(nullptr);
    const std::string path = ExecutablePath();
    EXPECT_NE(self, nullptr);
    EXPECT_EQ(GetModuleHandleA(path.substr(path.find_last_of('/') + 1).c_str()), self);
    EXPECT_EQ(GetModuleHandleA("no-such-module.dll"), nullptr);
    char buffer[4096];
    EXPECT_EQ(GetModuleFileNameA(self, buffer, sizeof buffer), path.size());
    EXPECT_EQ(GetModuleFileNameA(reinterpret_cast<HMODULE>(ULONG_PTR(0x1234)), buffer, sizeof buffer), 0u);
}
