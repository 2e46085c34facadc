// The whole engine in-process against the Keypanel model on a pty and the
// panel driver model: what a separate service process cannot show. Ticks
// allocate nothing; failing driver requests are each logged and keys
// resume; keys follow the desktop the thread is really on; many runs in one
// process leak nothing and leave no key down.
//
// KPL_SOAK_CYCLES lengthens the start/stop cycles; KPL_SOAK_SECONDS adds a
// typing run of that length (./run soak).
#include "platform/linux/kernel_object.h"
#include "platform/linux/simulation.h"
#include "polling/polling.h"
#include "service/log.h"
#include "sim/keypanel_line.h"
#include "sim/panel_driver_model.h"
#include "tests/support/counting_allocator.h"
#include "tests/support/key_journal.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <thread>
#include <tuple>

namespace {

unsigned EnvNumber(const char* name, unsigned fallback)
{
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : fallback;
}

int CountEntries(const char* path)
{
    return static_cast<int>(std::distance(std::filesystem::directory_iterator(path), {}));
}

// What a run could leak, as text that compares: open fds (less the one
// counting them), threads, kernel handles and desktop handles. The kernel
// table hands out ascending multiples of 4 from 0x1000, so every handle ever
// given lies below a new one.
std::string Held()
{
    HANDLE probe = RegisterKernelObject(std::make_shared<KernelObject>());
    int handles = 0;
    for (ULONG_PTR value = 0x1000; value < reinterpret_cast<ULONG_PTR>(probe); value += 4)
        handles += LookupKernelObject(reinterpret_cast<HANDLE>(value)) != nullptr;
    CloseHandle(probe);
    return "fds " + std::to_string(CountEntries("/proc/self/fd") - 1) + ", threads " +
           std::to_string(CountEntries("/proc/self/task")) + ", handles " + std::to_string(handles) +
           ", desktop handles " + std::to_string(OpenSimulatedUserHandles());
}

long ResidentKb()
{
    long size = 0, resident = 0;
    std::sscanf(kpltest::ReadFile("/proc/self/statm").c_str(), "%ld %ld", &size, &resident);
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

class Engine : public ::testing::Test {
protected:
    kpltest::TempMachine dir;
    kplsim::KeypanelModel model;
    kplsim::KeypanelLine line;
    std::thread server;

    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(line.OpenPty(error)) << error;
        SetInputDesktop("Default");
        ResetSimulatedUser();
        FailPanelDriverRequests(0, 0);
        ErrorEventCount = 1;
        server = std::thread([this] {
            kpltest::ExcludeThreadFromAllocationCount();
            std::string serveError;
            line.Serve(model, [](const kplsim::Exchange&) {}, serveError);
        });
    }

    void TearDown() override
    {
        line.Stop();
        if (server.joinable())
            server.join();
        ResetSimulatedUser();  // closes the key journal before the directory goes
    }

    // The machine, with the desktop the simulated user sees and the keyboard speed.
    void SetInputDesktop(const std::string& desktop, const std::string& speed = "31")
    {
        dir.WriteRegistry({{"EventLogFile", dir.File("events.log")}, {"KeyJournal", dir.File("keys.journal")},
                           {"RuntimeDir", dir.Path()}, {"InputDesktop", desktop}},
                          {{"COM3", line.Path()}},
                          "[HKEY_CURRENT_USER\\Control Panel\\Keyboard]\n\"KeyboardDelay\"=\"0\"\n"
                          "\"KeyboardSpeed\"=\"" + speed + "\"\n");
    }

    // One run of the engine on this thread, as the service thread makes it;
    // `control` runs on another thread once the engine polls (a stop during
    // start-up would end the identification), and the run is stopped when
    // it returns. False when start-up failed.
    bool Run(const std::function<void()>& control)
    {
        std::atomic<bool> ended{false};
        // Started: said in the event log; in debug mode, whose events go to
        // the console, seen in a poll.
        auto started = [&]() -> std::uint64_t {
            return DebugMode ? model.TotalRequests() - model.Requests(kplsim::RequestKind::Identify)
                             : CountEvents("0x40000012");
        };
        const std::uint64_t before = started();
        std::thread controller([&] {
            kpltest::ExcludeThreadFromAllocationCount();
            kpltest::WaitUntil([&] { return (MainThreadId.load() != 0 && started() > before) || ended; },
                               std::chrono::milliseconds(20000));
            if (!ended)
                control();
            RequestStop();
        });
        bool ran = StartPolling("COM3", 19200, 8, 0, 0, 1, 3, 1000, 0, 0) && RunPollLoop();
        StopPolling();
        ended = true;
        controller.join();
        return ran;
    }

    bool WaitForPolls(std::uint64_t polls) { return model.WaitForRequests(model.TotalRequests() + polls, 10000); }

    bool Type(int key)
    {
        model.Press(key);
        bool ok = WaitForPolls(3);
        model.Release(key);
        return WaitForPolls(3) && ok;
    }

    std::vector<kpltest::JournalEntry> Journal() { return kpltest::ReadKeyJournal(dir.File("keys.journal")); }

    // The desktop of each keystroke, B's marked.
    std::string Desktops()
    {
        std::string desktops;
        for (const auto& key : Journal())
            if (!key.hotKey)
                desktops += key.desktop + (key.vk == 'B' ? "(B) " : " ");
        return desktops;
    }

    std::size_t CountEvents(const std::string& text)
    {
        return kpltest::CountOf(kpltest::ReadFile(dir.File("events.log")), text);
    }

    // Every key-down has its key-up; returns the keys that went down, in order.
    std::string ExpectEveryKeyDownMatched()
    {
        std::map<unsigned, bool> held;
        std::string downs;
        for (const auto& key : Journal()) {
            const bool up = key.flags & 2;
            EXPECT_TRUE(key.hotKey || !up || held[key.vk]) << "key-up without key-down, vk " << std::hex << key.vk;
            if (!key.hotKey && (held[key.vk] = !up))
                downs += static_cast<char>(key.vk);
        }
        for (const auto& [vk, down] : held)
            EXPECT_FALSE(down) << "left down, vk " << std::hex << vk;
        return downs;
    }
};

TEST_F(Engine, PollAndKeyOutputTicksAllocateNothing)
{
    long idle = -1, held = -1;
    std::size_t repeats = 0;
    ASSERT_TRUE(Run([&] {
        auto count = [&] {
            kpltest::StartAllocationCount();
            WaitForPolls(40);
            return kpltest::StopAllocationCount();
        };
        WaitForPolls(10);
        idle = count();
        model.Press(0);
        WaitForPolls(20);  // held past the repeat delay
        repeats = Journal().size();
        held = count();
        repeats = Journal().size() - repeats;
        model.Release(0);
        WaitForPolls(4);
    }));
    EXPECT_GT(repeats, 0u) << "the key did not repeat while counted";
    EXPECT_EQ(idle, 0);
    EXPECT_EQ(held, 0);
}

TEST_F(Engine, FailingDriverRequestsAreEachLoggedAndKeysResume)
{
    const std::string failed = "Error 0xC0000004 ";
    ASSERT_TRUE(Run([&] {
        EXPECT_TRUE(WaitForPolls(4));
        for (auto [key, failing, error] : {std::tuple{0, 1u, DWORD{ERROR_GEN_FAILURE}}, {1, 4u, DWORD{0x2345}}}) {
            std::size_t before = CountEvents(failed), journal = Journal().size();
            // The key goes down while the driver fails; it arrives once the driver recovers.
            FailPanelDriverRequests(error, failing);
            model.Press(key);
            EXPECT_TRUE(kpltest::WaitUntil([&] { return CountEvents(failed) >= before + failing; })) << key;
            EXPECT_TRUE(kpltest::WaitUntil([&] { return Journal().size() >= journal + 1; })) << key;
            model.Release(key);
            EXPECT_TRUE(kpltest::WaitUntil([&] { return Journal().size() >= journal + 2; })) << key;
            EXPECT_TRUE(WaitForPolls(4));
        }
    }));
    // One for each failed request above, and no more; a code the system has
    // no text for shows as its number.
    EXPECT_EQ(CountEvents(failed + "PGW/KPL service failed: A device attached to the system is not functioning."), 1u);
    EXPECT_EQ(CountEvents(failed + "PGW/KPL service failed: Error 9029."), 4u);
    EXPECT_EQ(ExpectEveryKeyDownMatched(), "AB");
}

// When the link fails, held keys are released; a release the driver refuses
// is tried again on the next ticks, not only once the link recovers.
TEST_F(Engine, ARefusedReleaseIsTriedAgain)
{
    ASSERT_TRUE(Run([&] {
        model.Press(0);
        ASSERT_TRUE(kpltest::WaitUntil([&] { return Journal().size() == 1; }));
        FailPanelDriverRequests(ERROR_GEN_FAILURE, 1000000);
        // Past the retries; the frame start swallows the reply, so the link
        // stays failed for a time-out.
        model.SendGarbage({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x3F});
        ASSERT_TRUE(kpltest::WaitUntil([&] { return CountEvents("0xC0000003") > 0; }));
        FailPanelDriverRequests(0, 0);
        EXPECT_TRUE(kpltest::WaitUntil([&] { return Journal().size() == 2; }, std::chrono::milliseconds(500)))
            << "the key stayed down";
        model.Release(0);
        WaitForPolls(4);
    }));
    EXPECT_EQ(ExpectEveryKeyDownMatched(), "A");
}

// A new keyboard speed makes the key output thread's timer anew; when that
// fails, no tick comes and keys stay dead until a restart: the service must
// say so. The driver failing the release of every key at the stop is said
// too, and the run still ends.
TEST_F(Engine, KeyTimerAndFinalReleaseFailuresAreLogged)
{
    ASSERT_TRUE(Run([&] {
        EXPECT_TRUE(Type(0));
        FailSimulatedCall(SimulatedCall::SetTimer, ERROR_NOT_ENOUGH_MEMORY);
        SetInputDesktop("Default", "0");  // a 50 ms cycle for 40 ms
        model.Press(1);
        EXPECT_TRUE(kpltest::WaitUntil([&] { return CountEvents("Error 0xC0000002 Set of timer failed: ") == 1; }));
        FailPanelDriverRequests(ERROR_GEN_FAILURE, 1, true);
    }));
    EXPECT_EQ(CountEvents("Error 0xC0000004 PGW/KPL service failed: "), 1u);
    EXPECT_EQ(CountEvents("0x40000013"), 1u);
}

// The poll loop's own timer cannot be set (nor the key output thread's):
// said, and the run ends with its key output thread.
TEST_F(Engine, PollTimerThatCannotBeSetEndsTheRun)
{
    const int threads = CountEntries("/proc/self/task");
    FailSimulatedCall(SimulatedCall::SetTimer, ERROR_NOT_ENOUGH_MEMORY, 0, 2);
    EXPECT_FALSE(Run([] {}));
    EXPECT_EQ(CountEvents("Error 0xC0000002 Set of timer failed: "), 2u);
    EXPECT_EQ(CountEvents("0x40000012"), 0u);
    EXPECT_TRUE(kpltest::WaitUntil([&] { return CountEntries("/proc/self/task") <= threads; }));
}

// Following the input desktop fails: said each time, and the key goes to
// the desktop the thread is on; the next key follows again. Whether to
// follow is told from the desktop the thread is really on: a failed restore
// after the secure attention key leaves it on Winlogon.
TEST_F(Engine, FailuresToFollowTheInputDesktopAreLogged)
{
    SetInputDesktop("Winlogon");
    ASSERT_TRUE(Run([&] {
        EXPECT_TRUE(WaitForPolls(2));
        FailSimulatedCall(SimulatedCall::OpenInputDesktop, ERROR_ACCESS_DENIED);
        EXPECT_TRUE(Type(0));
        FailSimulatedCall(SimulatedCall::SetThreadDesktop, ERROR_ACCESS_DENIED);
        EXPECT_TRUE(Type(1) && Type(2));
        SetInputDesktop("Default");
        // Of the secure attention key's calls, after the key follows to Default: the restore.
        FailSimulatedCall(SimulatedCall::SetThreadDesktop, ERROR_ACCESS_DENIED, 2, 1);
        EXPECT_TRUE(Type(127) && Type(3));
    }));
    EXPECT_EQ(CountEvents("Error 0xC0000006 Open of input desktop failed: Access is denied."), 1u);
    EXPECT_EQ(CountEvents("Error 0xC0000007 Set desktop failed: Access is denied."), 1u);
    EXPECT_EQ(Desktops(), "Default Default Default(B) Default(B) Winlogon Winlogon Default Default ");
    EXPECT_NE(kpltest::ReadFile(dir.File("keys.journal")).find("hotkey desktop=Winlogon"), std::string::npos);
}

// A secure attention key that cannot be posted starts the task manager
// (the first on PATH) in debug mode; in service mode nothing, and keys go on.
TEST_F(Engine, FailedSecureAttentionStartsTheTaskManagerInDebugModeOnly)
{
    kpltest::WriteFile(dir.File("taskmgr.exe"), "#!/bin/sh\ntouch \"$0.ran\"\n");
    std::filesystem::permissions(dir.File("taskmgr.exe"), std::filesystem::perms::owner_all);
    kpltest::ScopedEnv path("PATH", dir.Path() + ":" + std::getenv("PATH"));
    for (DWORD debug : {0u, 1u}) {
        DebugMode = debug;
        testing::internal::CaptureStdout();  // the debug mode's trace
        ASSERT_TRUE(Run([&] {
            EXPECT_TRUE(WaitForPolls(2));
            FailSimulatedCall(SimulatedCall::OpenDesktop, ERROR_ACCESS_DENIED);
            EXPECT_TRUE(Type(127) && Type(0));
        }));
        testing::internal::GetCapturedStdout();
        DebugMode = 0;
        const bool ran = kpltest::WaitUntil([&] { return std::filesystem::exists(dir.File("taskmgr.exe.ran")); },
                                            std::chrono::milliseconds(debug ? 5000 : 500));
        EXPECT_EQ(ran, debug == 1) << "debug mode " << debug;
    }
    EXPECT_EQ(ExpectEveryKeyDownMatched(), "AA");
}

// Runs in one process, as a service stopped and started again: the second
// run must tick (its repeat settings are unchanged) and none leaks. With
// KPL_SOAK_SECONDS, one of them types that long, every key in order. The
// key journal, opened by a key, is closed for both measures.
TEST_F(Engine, StartStopCyclesLeakNothing)
{
    const unsigned cycles = EnvNumber("KPL_SOAK_CYCLES", 60), warmUp = 10, seconds = EnvNumber("KPL_SOAK_SECONDS", 0);
    std::mt19937 random(11);
    std::string baseline;
    long baselineKb = 0;
    unsigned failedRuns = 0;
    const int idleThreads = CountEntries("/proc/self/task");
    for (unsigned cycle = 0; cycle < cycles + warmUp; ++cycle) {
        if (cycle == warmUp) {
            EXPECT_TRUE(kpltest::WaitUntil([&] { return CountEntries("/proc/self/task") <= idleThreads; }));
            ResetSimulatedUser();
            baseline = Held();
            baselineKb = ResidentKb();
        }
        if (cycle == warmUp && seconds > 0) {
            std::string typed, before = ExpectEveryKeyDownMatched();
            failedRuns += !Run([&] {
                const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
                for (int key; std::chrono::steady_clock::now() < end && Type(key = static_cast<int>(random() % 26));)
                    typed += static_cast<char>('A' + key);
                WaitForPolls(4);
            });
            std::printf("%zu keys in %u s\n", typed.size(), seconds);
            EXPECT_EQ(ExpectEveryKeyDownMatched(), before + typed);
        }
        int key = static_cast<int>(random() % 26);
        failedRuns += !Run([&] {
            switch (cycle % 4) {
            case 2: model.Press(key); WaitForPolls(3); break;  // stopped with the key held: the stop releases it
            case 3: Type(key); break;
            default: WaitForPolls(1); break;
            }
        });
        model.ReleaseAll();
    }
    EXPECT_EQ(failedRuns, 0u);
    ResetSimulatedUser();
    kpltest::WaitUntil([&] { return Held() == baseline; });  // a stopped run's threads take a moment to go
    const std::string after = Held();
    std::printf("%u cycles; before: %s, RSS %ld kB; after: %s, RSS %ld kB\n", cycles, baseline.c_str(), baselineKb,
                after.c_str(), ResidentKb());
    EXPECT_EQ(after, baseline);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // Under the sanitizers quarantine and shadow memory make it say nothing.
    EXPECT_LT(ResidentKb() - baselineKb, 4096);
#endif
    EXPECT_EQ(CountEvents("0x40000013"), cycles + warmUp + (seconds > 0));  // every run started and stopped
    EXPECT_EQ(CountEvents("Error "), 0u);
    // A run that starts while the answer to the last request of the one
    // before is on its way reads it as the first answer: one warning, and
    // the retry identifies the Keypanel.
    EXPECT_EQ(CountEvents("Warning "), CountEvents("Warning 0x8000000F Unexpected Keypanel response"));
    EXPECT_LE(CountEvents("Warning "), (cycles + warmUp) / 3);
    // Keys came out (a key held only while a run was still identifying may
    // not), and every key-down has its key-up.
    EXPECT_GE(ExpectEveryKeyDownMatched().size(), (cycles + warmUp) / 4);
}

// The key output thread cannot be made: said, and the run ends at once with
// no thread left behind and no key down, though one is held on the panel.
TEST_F(Engine, KeyOutputThreadThatCannotBeMadeEndsTheRun)
{
    const int threads = CountEntries("/proc/self/task");
    FailSimulatedCall(SimulatedCall::CreateThread, ERROR_NOT_ENOUGH_MEMORY);
    model.Press(0);
    EXPECT_FALSE(Run([] {}));
    EXPECT_EQ(CountEvents("Error 0xC0000011 Create thread failed: Not enough memory"), 1u);
    EXPECT_EQ(CountEvents("0x40000012"), 0u);
    EXPECT_EQ(ExpectEveryKeyDownMatched(), "");
    EXPECT_TRUE(kpltest::WaitUntil([&] { return CountEntries("/proc/self/task") <= threads; }));
}

// The verdicts on a Keypanel that never answers or answers wrongly carry no
// error code, so a spent error throttle lets them through.
TEST_F(Engine, StartUpVerdictsPassASpentThrottle)
{
    for (bool silent : {true, false}) {
        model.ClearFaults();
        silent ? model.Silence(kplsim::AlwaysCount) : model.WrongId(0x55, kplsim::AlwaysCount);
        ErrorEventCount = 100;
        EXPECT_FALSE(StartPolling("COM3", 19200, 8, 0, 0, 1, 0, 50, 0, 0));
        StopPolling();
    }
    EXPECT_EQ(CountEvents("Information 0x40000010 Keypanel not present."), 1u);
    EXPECT_EQ(CountEvents("Error 0xC000001B Keypanel communication failed."), 1u);
}

}  // namespace
