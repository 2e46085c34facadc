#include "platform/win32.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
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

DWORD WINAPI ReturnParameter(LPVOID parameter)
{
    return static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(parameter));
}

DWORD WINAPI WaitForGate(LPVOID parameter)
{
    static_cast<Gate*>(parameter)->opened.wait();
    return 7;
}

struct IdProbe {
    DWORD seen = 0;
};

DWORD WINAPI RecordOwnId(LPVOID parameter)
{
    static_cast<IdProbe*>(parameter)->seen = GetCurrentThreadId();
    return 0;
}

}  // namespace

TEST(Threads, ExitCodeIsStillActiveUntilTheThreadReturns)
{
    Gate gate;
    HANDLE thread = CreateThread(nullptr, 0, WaitForGate, &gate, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(thread, 20), (DWORD)WAIT_TIMEOUT);

    gate.open.set_value();
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 7u);
    // A finished thread stays signalled.
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(thread));
}

TEST(Threads, InfiniteWaitReturnsTheExitCodes)
{
    for (DWORD value : {0u, 1u, 0xFFFFFFFFu}) {
        HANDLE thread = CreateThread(nullptr, 0, ReturnParameter, reinterpret_cast<LPVOID>(ULONG_PTR(value)), 0,
                                     nullptr);
        ASSERT_NE(thread, nullptr);
        EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeThread(thread, &code));
        EXPECT_EQ(code, value);
        CloseHandle(thread);
    }
}

TEST(Threads, HandleMayBeClosedWhileTheThreadRuns)
{
    static std::atomic<bool> finished;
    finished = false;
    Gate gate;
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID parameter) -> DWORD {
            static_cast<Gate*>(parameter)->opened.wait();
            finished = true;
            return 0;
        },
        &gate, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(CloseHandle(thread));
    DWORD code = 0;
    EXPECT_FALSE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    gate.open.set_value();
    EXPECT_TRUE(kpltest::WaitUntil([] { return finished.load(); }));
}

TEST(Threads, ReportedIdIsTheThreadsOwn)
{
    IdProbe probe;
    DWORD reported = 0;
    HANDLE thread = CreateThread(nullptr, 0, RecordOwnId, &probe, 0, &reported);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_NE(reported, 0u);
    EXPECT_EQ(probe.seen, reported);
    EXPECT_NE(reported, GetCurrentThreadId());
}

TEST(Threads, IdsAreUniqueAndNeverReused)
{
    std::set<DWORD> ids{GetCurrentThreadId()};
    EXPECT_EQ(GetCurrentThreadId(), *ids.begin());
    // One after another, so that a finished thread's id could be reused.
    for (int i = 0; i < 20; ++i) {
        DWORD id = 0;
        if (i % 2 == 0) {
            std::thread([&id] { id = GetCurrentThreadId(); }).join();
        } else {
            IdProbe probe;
            HANDLE thread = CreateThread(nullptr, 0, RecordOwnId, &probe, 0, nullptr);
            ASSERT_NE(thread, nullptr);
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
            id = probe.seen;
        }
        EXPECT_NE(id, 0u);
        EXPECT_TRUE(ids.insert(id).second) << "id " << id << " handed out twice";
    }
}

TEST(Threads, SuspendedCreationIsRefused)
{
    SetLastError(0);
    EXPECT_EQ(CreateThread(nullptr, 0, ReturnParameter, nullptr, CREATE_SUSPENDED, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST(Threads, PseudoHandleStandsForTheCallingThread)
{
    EXPECT_EQ(GetCurrentThread(), (HANDLE)(LONG_PTR)-2);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(GetCurrentThread(), &code));
    EXPECT_EQ(code, STILL_ACTIVE);
}

TEST(Threads, PriorityIsRecordedAndValidated)
{
    Gate gate;
    HANDLE other = CreateThread(nullptr, 0, WaitForGate, &gate, 0, nullptr);
    ASSERT_NE(other, nullptr);
    // A std::thread has no handle but its pseudo handle works all the same.
    for (HANDLE thread : {GetCurrentThread(), other}) {
        EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_NORMAL);
        for (int valid : {-15, -2, -1, 0, 1, 2, 15}) {
            EXPECT_TRUE(SetThreadPriority(thread, valid)) << valid;
            EXPECT_EQ(GetThreadPriority(thread), valid);
        }
        ASSERT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_ABOVE_NORMAL));
        for (int invalid : {-16, -14, -3, 3, 14, 16, 31, THREAD_PRIORITY_ERROR_RETURN}) {
            SetLastError(0);
            EXPECT_FALSE(SetThreadPriority(thread, invalid)) << invalid;
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER) << invalid;
        }
        EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_ABOVE_NORMAL);
    }
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);

    // Each thread has its own.
    int seenElsewhere = -99;
    std::thread([&] { seenElsewhere = GetThreadPriority(GetCurrentThread()); }).join();
    EXPECT_EQ(seenElsewhere, THREAD_PRIORITY_NORMAL);

    gate.open.set_value();
    WaitForSingleObject(other, INFINITE);
    CloseHandle(other);
}

TEST(Threads, NonThreadHandlesAreRejected)
{
    HANDLE bogus = reinterpret_cast<HANDLE>(ULONG_PTR(0x7FFFFFF0));
    DWORD code = 0;
    SetLastError(0);
    EXPECT_FALSE(GetExitCodeThread(bogus, &code));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetThreadPriority(bogus, 0));
    EXPECT_EQ(GetThreadPriority(bogus), THREAD_PRIORITY_ERROR_RETURN);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
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

    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            EnterCriticalSection(&section);
            entered = true;
            LeaveCriticalSection(&section);
            return 0;
        },
        nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    // Still held once: the other thread must not get in.
    EXPECT_EQ(WaitForSingleObject(thread, 50), (DWORD)WAIT_TIMEOUT);
    EXPECT_FALSE(entered);
    LeaveCriticalSection(&section);
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
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
    constexpr int Threads = 4, Rounds = 5000;
    std::vector<HANDLE> threads;
    for (int i = 0; i < Threads; ++i) {
        threads.push_back(CreateThread(
            nullptr, 0,
            [](LPVOID parameter) -> DWORD {
                auto* s = static_cast<Shared*>(parameter);
                for (int round = 0; round < Rounds; ++round) {
                    EnterCriticalSection(&s->section);
                    EnterCriticalSection(&s->section);
                    ++s->counter;
                    LeaveCriticalSection(&s->section);
                    LeaveCriticalSection(&s->section);
                }
                return 0;
            },
            &shared, 0, nullptr));
        ASSERT_NE(threads.back(), nullptr);
    }
    for (HANDLE thread : threads) {
        EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    EXPECT_EQ(shared.counter, long(Threads) * Rounds);
    DeleteCriticalSection(&shared.section);
}

TEST(Time, SleepLastsAtLeastAsLongAsAsked)
{
    auto start = std::chrono::steady_clock::now();
    Sleep(30);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(29));
    Sleep(0);
}

TEST(Time, SystemTimeIsUtcNow)
{
    SYSTEMTIME now{};
    GetSystemTime(&now);
    time_t reference = time(nullptr);
    tm fields{};
    fields.tm_year = now.wYear - 1900;
    fields.tm_mon = now.wMonth - 1;
    fields.tm_mday = now.wDay;
    fields.tm_hour = now.wHour;
    fields.tm_min = now.wMinute;
    fields.tm_sec = now.wSecond;
    time_t converted = timegm(&fields);
    EXPECT_LE(std::abs(double(converted - reference)), 2.0);
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

TEST(Module, FileNameIsTheExecutable)
{
    char expected[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", expected, sizeof expected - 1), 0);
    const DWORD length = DWORD(strlen(expected));

    char buffer[4096];
    EXPECT_EQ(GetModuleFileNameA(nullptr, buffer, sizeof buffer), length);
    EXPECT_STREQ(buffer, expected);
    EXPECT_EQ(GetModuleFileNameA(GetModuleHandleA(nullptr), buffer, sizeof buffer), length);
    EXPECT_STREQ(buffer, expected);
}

TEST(Module, ShortBufferIsTruncatedButTerminated)
{
    char expected[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", expected, sizeof expected - 1), 0);
    const DWORD length = DWORD(strlen(expected));

    struct Case {
        DWORD size;
        DWORD returned;
        bool truncated;
    };
    for (Case c : {Case{1, 1, true}, Case{5, 5, true}, Case{length, length, true}, Case{length + 1, length, false}}) {
        std::string buffer(c.size + 8, '#');
        SetLastError(0);
        EXPECT_EQ(GetModuleFileNameA(nullptr, buffer.data(), c.size), c.returned) << c.size;
        std::string copied(buffer.c_str());
        EXPECT_EQ(copied, std::string(expected, std::min(length, c.size - 1))) << c.size;
        EXPECT_EQ(buffer[c.size], '#') << "wrote past the buffer of " << c.size;
        EXPECT_EQ(GetLastError(), c.truncated ? (DWORD)ERROR_INSUFFICIENT_BUFFER : 0u) << c.size;
    }
}

TEST(Module, HandleStandsForTheExecutable)
{
    HMODULE self = GetModuleHandleA(nullptr);
    EXPECT_NE(self, nullptr);
    EXPECT_EQ(GetModuleHandleA(nullptr), self);

    char path[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", path, sizeof path - 1), 0);
    std::string name = std::string(path).substr(std::string(path).find_last_of('/') + 1);
    EXPECT_EQ(GetModuleHandleA(name.c_str()), self);
    EXPECT_EQ(GetModuleHandleA("no-such-module.dll"), nullptr);

    char buffer[16];
    EXPECT_EQ(GetModuleFileNameA(reinterpret_cast<HMODULE>(ULONG_PTR(0x1234)), buffer, sizeof buffer), 0u);
}
