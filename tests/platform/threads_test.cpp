#include "platform/win32.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
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

}  // namespace

TEST(Threads, HandleWaitsForTheExitCodeAndMayBeClosedEarly)
{
    EXPECT_EQ(CreateThread(nullptr, 0, WaitForGate, nullptr, CREATE_SUSPENDED, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    static std::atomic<bool> earlyDone;
    earlyDone = false;
    Gate gate, early;
    auto signalsEnd = [](LPVOID parameter) -> DWORD {
        WaitForGate(parameter);
        earlyDone = true;
        return 0;
    };
    HANDLE thread = CreateThread(nullptr, 0, WaitForGate, &gate, 0, nullptr);
    HANDLE closed = CreateThread(nullptr, 0, signalsEnd, &early, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_NE(closed, nullptr);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(thread, 20), (DWORD)WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(closed));
    EXPECT_FALSE(GetExitCodeThread(closed, &code));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    early.open.set_value();
    // No handle left to wait on: the thread must still run to its end.
    EXPECT_TRUE(kpltest::WaitUntil([] { return earlyDone.load(); }));

    gate.open.set_value();
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_TRUE(CloseHandle(thread));
}

TEST(Threads, IdsAreNeverReused)
{
    std::set<DWORD> ids{GetCurrentThreadId()};
    // One after another, so that a finished thread's id could be reused.
    for (int i = 0; i < 20; ++i) {
        DWORD id = 0, reported = 0;
        if (i % 2 == 0) {
            std::thread(ReportOwnId, &id).join();
            reported = id;
        } else {
            HANDLE thread = CreateThread(nullptr, 0, ReportOwnId, &id, 0, &reported);
            ASSERT_NE(thread, nullptr);
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
        }
        EXPECT_EQ(reported, id);
        EXPECT_TRUE(ids.insert(id).second) << "id " << id << " handed out twice";
    }
}

TEST(Threads, PriorityIsKeptPerThreadAndValidated)
{
    Gate gate;
    HANDLE other = CreateThread(nullptr, 0, WaitForGate, &gate, 0, nullptr);
    for (HANDLE thread : {GetCurrentThread(), other}) {
        for (int valid : {-15, -2, 2, 15})
            EXPECT_TRUE(SetThreadPriority(thread, valid) && GetThreadPriority(thread) == valid) << valid;
        for (int invalid : {-16, -3, 3, 14}) {
            EXPECT_FALSE(SetThreadPriority(thread, invalid)) << invalid;
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER) << invalid;
        }
    }
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    int elsewhere = -99;
    std::thread([&] { elsewhere = GetThreadPriority(GetCurrentThread()); }).join();
    EXPECT_EQ(elsewhere, THREAD_PRIORITY_NORMAL);
    EXPECT_EQ(GetThreadPriority(other), 15);
    gate.open.set_value();
    WaitForSingleObject(other, INFINITE);
    CloseHandle(other);
}

TEST(CriticalSection, IsRecursiveAndCountsUnderContentionAddUp)
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
    // Held twice, left once: the workers must stay out until the last leave.
    EnterCriticalSection(&shared.section);
    EnterCriticalSection(&shared.section);
    LeaveCriticalSection(&shared.section);
    std::vector<HANDLE> threads;
    for (int i = 0; i < 4; ++i)
        threads.push_back(CreateThread(nullptr, 0, body, &shared, 0, nullptr));
    EXPECT_EQ(WaitForSingleObject(threads[0], 50), (DWORD)WAIT_TIMEOUT);
    EXPECT_EQ(shared.counter, 0);
    LeaveCriticalSection(&shared.section);
    for (HANDLE thread : threads) {
        ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    EXPECT_EQ(shared.counter, 4 * 5000L);
    DeleteCriticalSection(&shared.section);
}

TEST(Module, FileNameIsTheExecutableTruncatedAsOnWindows)
{
    char link[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", link, sizeof link - 1), 0);
    const std::string path = link;
    const DWORD length = DWORD(path.size());
    HMODULE self = GetModuleHandleA(nullptr);
    EXPECT_NE(self, nullptr);
    EXPECT_EQ(GetModuleHandleA(path.substr(path.find_last_of('/') + 1).c_str()), self);
    EXPECT_EQ(GetModuleHandleA("no-such-module.dll"), nullptr);
    struct Case {
        DWORD size;
        DWORD returned;
        bool truncated;
    };
    for (Case c : {Case{1, 1, true}, Case{length, length, true}, Case{length + 1, length, false}}) {
        std::string buffer(c.size + 8, '#');
        SetLastError(0);
        EXPECT_EQ(GetModuleFileNameA(self, buffer.data(), c.size), c.returned) << c.size;
        EXPECT_EQ(std::string(buffer.c_str()), path.substr(0, std::min(length, c.size - 1))) << c.size;
        EXPECT_EQ(buffer[c.size], '#') << "wrote past the buffer of " << c.size;
        EXPECT_EQ(GetLastError(), c.truncated ? (DWORD)ERROR_INSUFFICIENT_BUFFER : 0u) << c.size;
    }
    char buffer[16];
    EXPECT_EQ(GetModuleFileNameA(reinterpret_cast<HMODULE>(ULONG_PTR(0x1234)), buffer, sizeof buffer), 0u);
}
