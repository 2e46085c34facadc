// What the service control manager sees of the service's life, and the
// error throttle. The dispatcher's side of the manager and the polling
// engine are doubles, linked in place of the real ones.
#include "polling/polling.h"
#include "service/host.h"
#include "service/log.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

// What the doubles do and what they were told; made anew for every case.
struct Host {
    // Service control manager
    bool registrationFails = false;
    int failStatusReport = 0;  // 1-based number of the SetServiceStatus call that fails
    std::vector<SERVICE_STATUS> reports;  // each one under the host's status lock
    std::atomic<int> reportCount{0};
    LPHANDLER_FUNCTION handler = nullptr;
    // Polling engine
    std::function<void()> duringStart, duringLoop;
    std::vector<std::string> calls;
    int stopRequests = 0;
};
std::optional<Host> Doubles{std::in_place};

}  // namespace

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerA(LPCSTR, LPHANDLER_FUNCTION handler)
{
    if (Doubles->registrationFails)
        return nullptr;
    Doubles->handler = handler;
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(0x1234);
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS status)
{
    Doubles->reports.push_back(*status);
    ++Doubles->reportCount;
    if (static_cast<int>(Doubles->reports.size()) == Doubles->failStatusReport) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

bool StartPolling(const char*, DWORD, BYTE, BYTE, BYTE, DWORD, DWORD, DWORD, DWORD, DWORD)
{
    Doubles->calls.push_back("StartPolling");
    if (Doubles->duringStart)
        Doubles->duringStart();
    return true;
}

bool RunPollLoop()
{
    Doubles->calls.push_back("RunPollLoop");
    if (Doubles->duringLoop)
        Doubles->duringLoop();
    return true;
}

void StopPolling()
{
    Doubles->calls.push_back("StopPolling");
}

void RequestStop()
{
    ++Doubles->stopRequests;
}

namespace {

// State, controls accepted, exit code, check point, wait hint.
using Report = std::array<DWORD, 5>;

std::vector<Report> Reports()
{
    std::vector<Report> result;
    for (const auto& s : Doubles->reports) {
        EXPECT_EQ(s.dwServiceType, SERVICE_WIN32_OWN_PROCESS);
        EXPECT_EQ(s.dwServiceSpecificExitCode, 0u);
        result.push_back({s.dwCurrentState, s.dwControlsAccepted, s.dwWin32ExitCode, s.dwCheckPoint, s.dwWaitHint});
    }
    return result;
}

class ServiceLife : public ::testing::Test {
protected:
    kpltest::TempMachine dir;

    void SetUp() override
    {
        Doubles.emplace();
        DebugMode = 0;
        ErrorEventCount = 1;
        NextCheckPoint = 1;
        dir.WriteRegistry({{"EventLogFile", dir.File("events.log")}});
    }
    std::string Events() { return kpltest::ReadFile(dir.File("events.log")); }
};

constexpr DWORD Start = SERVICE_START_PENDING, Running = SERVICE_RUNNING, Stopping = SERVICE_STOP_PENDING,
                Stopped = SERVICE_STOPPED;

// A failed status report is logged and skips what depends on it.
TEST_F(ServiceLife, StatusReportsAndEngineCalls)
{
    const std::string failed = "Error 0xC0000016 Set service status failed: The handle is invalid. The status of the "
                               "Keypanel Service may be wrong in \"Services\".";
    const Report starting{Start, 0, 0, 1, 3000}, running{Running, 1, 0, 0, 0}, stopped{Stopped, 1, 0, 0, 0};
    struct Case { const char* what; bool interrogate, registrationFails; int failingReport;
                  std::vector<Report> reports; std::vector<std::string> calls; } cases[] = {
        // An interrogation while starting takes the next check point.
        {"interrogated", true, false, 0,
         {starting, {Start, 0, 0, 2, 0}, running, running, {Stopping, 1, 0, 3, 0}, stopped},
         {"StartPolling", "RunPollLoop", "StopPolling"}},
        {"registration fails", false, true, 0, {}, {}},
        {"start-pending report fails", false, false, 1, {starting, stopped}, {}},
        {"running report fails", false, false, 2, {starting, running, stopped}, {"StartPolling", "StopPolling"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Doubles.emplace();
        NextCheckPoint = 1;
        kpltest::WriteFile(dir.File("events.log"), "");
        auto& host = *Doubles;
        host.registrationFails = c.registrationFails;
        host.failStatusReport = c.failingReport;
        auto interrogate = [] { Doubles->handler(SERVICE_CONTROL_INTERROGATE); };
        if (c.interrogate)
            host.duringStart = interrogate;
        host.duringLoop = [&] {
            if (c.interrogate)
                interrogate();
            Doubles->handler(SERVICE_CONTROL_STOP);
        };
        ServiceEntry(0, nullptr);
        EXPECT_EQ(Reports(), c.reports);
        EXPECT_EQ(host.calls, c.calls);
        EXPECT_EQ(host.stopRequests, c.calls.size() == 3 ? 1 : 0);
        EXPECT_EQ(kpltest::CountOf(Events(), "\n"), c.failingReport ? 1u : 0u) << Events();
        EXPECT_EQ(kpltest::CountOf(Events(), failed), c.failingReport ? 1u : 0u) << Events();
    }
}

// An interrogation reports the state of its moment: never a state that a
// report from the service thread has already replaced.
TEST_F(ServiceLife, InterrogationNeverReportsAStaleState)
{
    int stale = 0;
    ServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    for (int trial = 0; trial < 300; ++trial) {
        Doubles.emplace();
        SetStatus(Running, NO_ERROR, 0);
        std::atomic<bool> done{false};
        std::thread dispatcher([&] {
            while (!done)
                ServiceControlHandler(SERVICE_CONTROL_INTERROGATE);
        });
        while (Doubles->reportCount < 3)
            std::this_thread::yield();
        SetStatus(Stopped, NO_ERROR, 0);
        done = true;
        dispatcher.join();
        auto reports = Reports();
        auto stopped = std::find_if(reports.begin(), reports.end(), [](const Report& r) { return r[0] == Stopped; });
        stale += std::any_of(stopped, reports.end(), [](const Report& r) { return r[0] != Stopped; });
    }
    EXPECT_EQ(stale, 0) << "of 300 trials";
}

// The error throttle under errors from several threads at once, which no
// run of the service makes on demand: never a 100th error, never a second
// notice. throttle.scn shows it across a long failure.
TEST(ErrorThrottle, HoldsUnderConcurrentErrors)
{
    DebugMode = 1;  // events on the console, where the suite reads them
    for (int trial = 0; trial < 50; ++trial) {
        ErrorEventCount = 1;
        std::atomic<int> waiting{6};
        ::testing::internal::CaptureStdout();
        std::vector<std::thread> threads;
        for (int t = 0; t < 6; ++t)
            threads.emplace_back([&] {
                for (--waiting; waiting > 0;)  // all let go at once
                    std::this_thread::yield();
                for (int i = 0; i < 20; ++i)
                    LogError(MSG_DRIVER_REQUEST_FAILED, ERROR_GEN_FAILURE, nullptr);
            });
        for (auto& thread : threads)
            thread.join();
        std::fflush(stdout);
        const std::string out = ::testing::internal::GetCapturedStdout();
        ASSERT_EQ(kpltest::CountOf(out, "PGW/KPL service failed"), 99u) << "trial " << trial;
        ASSERT_EQ(kpltest::CountOf(out, "Too many errors"), 1u) << "trial " << trial;
    }
}

}  // namespace
