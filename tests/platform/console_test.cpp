#include "platform/win32.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>

#include <sys/resource.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// Handlers are plain functions, so what they see goes into globals; only the
// dispatcher writes, and a test reads after waiting for the length.
std::atomic<char> Log[32];
std::atomic<int> LogLength{0};
std::atomic<DWORD> HandlerThread{0};

BOOL Record(char entry, BOOL handled)
{
    HandlerThread = GetCurrentThreadId();
    int at = LogLength.load();
    Log[at % 32] = entry;
    LogLength = at + 1;
    return handled;
}

BOOL WINAPI RecordsType(DWORD type)
{
    return Record(type == CTRL_C_EVENT ? 'C' : type == CTRL_BREAK_EVENT ? 'K' : '?', TRUE);
}
BOOL WINAPI PassesA(DWORD) { return Record('A', FALSE); }
BOOL WINAPI HandlesB(DWORD) { return Record('B', TRUE); }

std::string AwaitLog(int length)
{
    EXPECT_TRUE(kpltest::WaitUntil([length] { return LogLength >= length; }));
    std::string text;
    for (int i = 0; i < LogLength; ++i)
        text += Log[i % 32].load();
    return text;
}

// Handlers are process-wide: each test takes its own away again.
struct ScopedHandler {
    explicit ScopedHandler(PHANDLER_ROUTINE h) : handler(h) { EXPECT_TRUE(SetConsoleCtrlHandler(handler, TRUE)); }
    ~ScopedHandler() { EXPECT_TRUE(SetConsoleCtrlHandler(handler, FALSE)); }
    PHANDLER_ROUTINE handler;
};

[[noreturn]] void RaiseUnhandled(int signal)
{
    rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    SetConsoleCtrlHandler(PassesA, TRUE);
    raise(signal);
    kpltest::WaitUntil([] { return false; }, 10s);
    std::exit(0);
}

}  // namespace

// SIGINT is Ctrl-C and SIGQUIT Ctrl-Break, each one call on a thread of
// its own; the last handler added runs first, until one handles it.
TEST(ConsoleCtrl, SignalsReachTheHandlersAsWindowsCallsThem)
{
    LogLength = 0;
    ScopedHandler records(RecordsType);
    raise(SIGINT);
    EXPECT_EQ(AwaitLog(1), "C");
    EXPECT_NE(HandlerThread.load(), 0u);
    EXPECT_NE(HandlerThread.load(), GetCurrentThreadId());
    // A doubled call for the Ctrl-C would show before the Ctrl-Break.
    kill(getpid(), SIGQUIT);
    EXPECT_EQ(AwaitLog(2), "CK");
    // A null handler ignores Ctrl-C but not Ctrl-Break.
    ASSERT_TRUE(SetConsoleCtrlHandler(nullptr, TRUE));
    raise(SIGINT);
    raise(SIGQUIT);
    AwaitLog(3);
    ASSERT_TRUE(SetConsoleCtrlHandler(nullptr, FALSE));

    ScopedHandler passes(PassesA);
    ASSERT_TRUE(SetConsoleCtrlHandler(HandlesB, TRUE));
    raise(SIGINT);
    AwaitLog(4);
    ASSERT_TRUE(SetConsoleCtrlHandler(HandlesB, FALSE));
    raise(SIGINT);
    // B handled the first alone; without it A passes the second on.
    EXPECT_EQ(AwaitLog(6), "CKKBAC");
    EXPECT_FALSE(SetConsoleCtrlHandler(HandlesB, FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST(ConsoleCtrlDeathTest, UnhandledSignalEndsTheProcess)
{
    // A fresh process: this one's dispatcher thread would not survive a fork.
    // (The test restores the flags it set when it ends.)
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (int signal : {SIGINT, SIGQUIT})
        EXPECT_EXIT(RaiseUnhandled(signal), testing::KilledBySignal(signal), "") << signal;
}
