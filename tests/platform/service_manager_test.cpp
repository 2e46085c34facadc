// How signals and controls reach a program of the Linux build: the service
// control manager (the unit -install writes, the dispatcher's stop control as
// Windows' manager delivers it) and the console's control handlers.
#include "platform/win32.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

TEST(ServiceUnit, NamesWhatExistsOnLinuxAndWhatTheServiceNeeds)
{
    kpltest::TempMachine dir;
    std::filesystem::create_directory(dir.File("units"));
    kpltest::WriteFile(dir.File("units/exists.service"), "[Service]\nExecStart=/bin/true\n");
    dir.WriteRegistry({{"ServiceUnitDir", dir.File("units")}, {"RuntimeDir", "/run/kpl"},
                       {"EventLogFile", "/var/log/kpl/events.log"}, {"KeyJournal", "/home/op/keys.journal"}},
                      {{"COM3", "/dev/serial/by-id/usb-FTDI_x-if00"}});
    // The registry in force as the administrator named it, relative to where -install ran.
    const auto workingDirectory = std::filesystem::current_path();
    std::filesystem::current_path(dir.Path());
    kpltest::ScopedEnv registry("KPL_REGISTRY", "./machine.reg");
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr);
    SC_HANDLE service = CreateServiceA(manager, "Kpl", "Keypanel Service", SERVICE_ALL_ACCESS, 0x110,
                                       SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, "/opt/kpl/VkKplSvc", nullptr,
                                       nullptr, "Pgw\0Tlink\0Exists\0", nullptr, nullptr);
    std::filesystem::current_path(workingDirectory);
    ASSERT_NE(service, nullptr) << GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);

    const std::string unit = kpltest::ReadFile(dir.File("units/kpl.service"));
    const std::string device = "dev-serial-by\\x2did-usb\\x2dFTDI_x\\x2dif00.device";
    for (const std::string& line : std::vector<std::string>{
             "#   Pgw: its driver is part of the service's process on Linux", "#   Tlink: no such service on Linux",
          "Requires=exists.service", "After=exists.service", "Wants=" + device, "After=" + device,
          "Environment=KPL_REGISTRY=" + dir.File("machine.reg"), "Restart=on-failure", "RuntimeDirectory=kpl",
          "LogsDirectory=kpl", "ReadWritePaths=-/home/op", "ProtectHome=read-only", "ProtectSystem=strict",
          "DeviceAllow=/dev/serial/by-id/usb-FTDI_x-if00 rw", "WantedBy=multi-user.target"})
        EXPECT_NE(unit.find("\n" + line + "\n"), std::string::npos) << line << " missing from\n" << unit;
    for (const char* absent : {"pgw.service", "tlink.service", "PrivateTmp"})  // the registry is under /tmp
        EXPECT_EQ(unit.find(absent), std::string::npos) << absent << " in\n" << unit;
    EXPECT_EQ(kpltest::DirectoryEntries(dir.File("units")), (std::vector<std::string>{"exists.service", "kpl.service"}));
}

// The console: Ctrl-C and Ctrl-Break.

// Handlers are plain functions, so what they see goes into globals; only the
// console's dispatcher writes, and a test reads after waiting for the length.
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

// SIGINT is Ctrl-C and SIGQUIT Ctrl-Break, each one call on a thread of
// its own; the last handler added runs first, until one handles it.
TEST(ConsoleCtrl, SignalsReachTheHandlersAsWindowsCallsThem)
{
    LogLength = 0;
    ScopedHandler records(RecordsType);
    raise(SIGINT);
    EXPECT_EQ(AwaitLog(1), "C");
    EXPECT_TRUE(HandlerThread != 0 && HandlerThread != GetCurrentThreadId()) << HandlerThread;
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

}  // namespace
