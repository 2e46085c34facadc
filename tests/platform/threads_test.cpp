#include "platform/win32.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>

#include <unistd.h>

namespace {

// Threads that end once the test lets go of their number, and how many did.
std::atomic<INT_PTR> LetGo{0};
std::atomic<int> Ended{0};

DWORD WINAPI EndWhenLetGo(LPVOID number)
{
    kpltest::WaitUntil([=] { return LetGo >= reinterpret_cast<INT_PTR>(number); }, std::chrono::seconds(20));
    ++Ended;
    return 0;
}

DWORD WINAPI ReportOwnId(LPVOID id)
{
    *static_cast<DWORD*>(id) = GetCurrentThreadId();
    return 0;
}

}  // namespace

TEST(Threads, HandleIsSignalledAtTheEndAndMayBeClosedEarly)
{
    LetGo = Ended = 0;
    HANDLE closed = CreateThread(nullptr, 0, EndWhenLetGo, reinterpret_cast<LPVOID>(1), 0, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, EndWhenLetGo, reinterpret_cast<LPVOID>(2), 0, nullptr);
    ASSERT_TRUE(closed != nullptr && thread != nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 20), (DWORD)WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(closed));
    LetGo = 1;
    // No handle left to wait on: the thread must still run to its end.
    EXPECT_TRUE(kpltest::WaitUntil([] { return Ended == 1; }));

    LetGo = 2;
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(thread));
}

// A post to a finished thread's id must never reach a new thread.
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
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
        }
        EXPECT_EQ(reported, id);
        EXPECT_TRUE(ids.insert(id).second) << "id " << id << " handed out twice";
    }
}

// -install names the executable it finds here in the unit it writes.
TEST(Module, FileNameIsTheExecutableTruncatedAsOnWindows)
{
    char link[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", link, sizeof link - 1), 0);
    const std::string path = link;
    const DWORD length = DWORD(path.size());
    struct Case { DWORD size; DWORD returned; bool truncated; };
    for (Case c : {Case{1, 1, true}, Case{length, length, true}, Case{length + 1, length, false}}) {
        std::string buffer(c.size + 8, '#');
        SetLastError(0);
        EXPECT_EQ(GetModuleFileNameA(nullptr, buffer.data(), c.size), c.returned) << c.size;
        EXPECT_EQ(std::string(buffer.c_str()), path.substr(0, std::min(length, c.size - 1))) << c.size;
        EXPECT_EQ(buffer[c.size], '#') << "wrote past the buffer of " << c.size;
        EXPECT_EQ(GetLastError(), c.truncated ? (DWORD)ERROR_INSUFFICIENT_BUFFER : 0u) << c.size;
    }
    char buffer[16];
    EXPECT_EQ(GetModuleFileNameA(reinterpret_cast<HMODULE>(ULONG_PTR(0x1234)), buffer, sizeof buffer), 0u);
}
