// The whole engine in-process against the Keypanel model on a pty and the
// panel driver model: what a separate service process cannot show. Ticks
// allocate nothing; failing driver requests are each logged and keys
// resume; many runs in one process leak nothing and leave no key down.
//
// KPL_SOAK_CYCLES lengthens the start/stop cycles; KPL_SOAK_SECONDS adds a
// typing run of that length (./run soak).
#include "keyboard/keyboard.h"
#include "platform/linux/kernel_object.h"
#include "platform/linux/simulation.h"
#include "polling/polling.h"
#include "service/log.h"
#include "sim/keypanel_line.h"
#include "sim/panel_driver_model.h"
#include "tests/support/counting_allocator.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <thread>

namespace {

using std::chrono::milliseconds;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Quarantine and shadow memory make the resident size say nothing about leaks.
constexpr bool CheckResidentSize = false;
#else
constexpr bool CheckResidentSize = true;
#endif

unsigned EnvNumber(const char* name, unsigned fallback)
{
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : fallback;
}

int CountEntries(const char* path)
{
    int n = 0;
    if (DIR* dir = opendir(path)) {
        while (dirent* entry = readdir(dir))
            n += entry->d_name[0] != '.';
        closedir(dir);
    }
    return n;
}

// Open kernel handles: the table hands out ascending multiples of 4 from
// 0x1000, so every handle ever given lies below a new one.
int OpenKernelHandles()
{
    struct Probe : KernelObject {};
    HANDLE probe = RegisterKernelObject(std::make_shared<Probe>());
    int n = 0;
    for (ULONG_PTR value = 0x1000; value < reinterpret_cast<ULONG_PTR>(probe); value += 4)
        n += LookupKernelObject(reinterpret_cast<HANDLE>(value)) != nullptr;
    CloseHandle(probe);
    return n;
}

struct Resources {
    int fds, threads, handles, userHandles;
    long residentKb;
    bool operator==(const Resources& o) const
    {
        return fds == o.fds && threads == o.threads && handles == o.handles && userHandles == o.userHandles;
    }
};

Resources Measure()
{
    std::istringstream statm(kpltest::ReadFile("/proc/self/statm"));
    long size = 0, resident = 0;
    statm >> size >> resident;
    return {CountEntries("/proc/self/fd") - 1, CountEntries("/proc/self/task"), OpenKernelHandles(),
            OpenSimulatedUserHandles(), resident * (sysconf(_SC_PAGESIZE) / 1024)};
}

std::string Describe(const Resources& r)
{
    char text[160];
    std::snprintf(text, sizeof text, "fds %d, threads %d, handles %d, desktop handles %d, RSS %ld kB", r.fds,
                  r.threads, r.handles, r.userHandles, r.residentKb);
    return text;
}

class Engine : public ::testing::Test {
protected:
    kpltest::TempDir dir;
    kplsim::KeypanelModel model;
    kplsim::KeypanelLine line;
    std::unique_ptr<kpltest::ScopedEnv> registry;
    std::thread server;

    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(line.OpenPty(error)) << error;
        kpltest::WriteFile(dir.File("machine.reg"),
                           "Windows Registry Editor Version 5.00\r\n\r\n"
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost]\r\n"
                           "\"EventLogFile\"=\"" + dir.File("events.log") + "\"\r\n"
                           "\"KeyJournal\"=\"" + dir.File("keys.journal") + "\"\r\n"
                           "\"RuntimeDir\"=\"" + dir.Path() + "\"\r\n\r\n"
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost\\Ports]\r\n\"COM3\"=\"" + line.Path() + "\"\r\n\r\n"
                           "[HKEY_CURRENT_USER\\Control Panel\\Keyboard]\r\n"
                           "\"KeyboardDelay\"=\"0\"\r\n\"KeyboardSpeed\"=\"31\"\r\n");
        registry = std::make_unique<kpltest::ScopedEnv>("KPL_REGISTRY", dir.File("machine.reg"));
        ResetSimulatedUser();
        FailPanelDriverRequests(0, 0);
        DebugMode = 0;
        ErrorEventCount = 1;
        server = std::thread([this] {
            kpltest::ExcludeThreadFromAllocationCount();
            std::string serveError;
            line.Serve(model, [](const kplsim::Exchange&) {}, serveError);
        });
    }

    void TearDown() override
    {
        FailPanelDriverRequests(0, 0);
        line.Stop();
        if (server.joinable())
            server.join();
        ResetSimulatedUser();  // closes the key journal before the directory goes
    }

    // One run of the engine on this thread, as the service thread makes it;
    // `control` runs on another thread once a stop can reach the engine,
    // and the run is stopped when it returns. False when start-up failed.
    bool Run(const std::function<void()>& control)
    {
        std::atomic<bool> ended{false};
        std::thread controller([&] {
            kpltest::ExcludeThreadFromAllocationCount();
            kpltest::WaitUntil([&] { return MainThreadId.load() != 0 || ended; }, milliseconds(20000));
            if (!ended)
                control();
            RequestStop();
        });
        bool started = StartPolling("COM3", 19200, 8, 0, 0, 1, 3, 1000, 0, 0);
        bool ran = started && RunPollLoop();
        StopPolling();
        ended = true;
        controller.join();
        return ran;
    }

    // The desktop the simulated user sees, as the registry says.
    void SetInputDesktop(const char* name)
    {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KplHost", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        RegSetValueExA(key, "InputDesktop", 0, REG_SZ, reinterpret_cast<const BYTE*>(name),
                       static_cast<DWORD>(std::strlen(name) + 1));
        RegCloseKey(key);
    }

    bool WaitForPolls(std::uint64_t polls) { return model.WaitForRequests(model.TotalRequests() + polls, 10000); }

    // Virtual keys of the journal, each with its direction; with the
    // desktop each went to in `desktops`.
    std::vector<std::pair<unsigned, bool>> Journal(std::vector<std::string>* desktops = nullptr)
    {
        std::vector<std::pair<unsigned, bool>> keys;
        std::istringstream in(kpltest::ReadFile(dir.File("keys.journal")));
        for (std::string text; std::getline(in, text);) {
            auto at = text.find(" keybd_event ");
            char desktop[32];
            unsigned vk = 0, scan = 0, flags = 0;
            if (at != std::string::npos &&
                std::sscanf(text.c_str() + at, " keybd_event desktop=%31s vk=%x scan=%x flags=%x", desktop, &vk,
                            &scan, &flags) == 4) {
                keys.push_back({vk, (flags & 2) != 0});
                if (desktops != nullptr)
                    desktops->push_back(desktop);
            }
        }
        return keys;
    }

    std::size_t CountEvents(const std::string& text)
    {
        std::string log = kpltest::ReadFile(dir.File("events.log"));
        std::size_t n = 0;
        for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++n;
        return n;
    }

    void ExpectEveryKeyDownMatched()
    {
        std::map<unsigned, bool> held;
        for (const auto& [vk, up] : Journal()) {
            EXPECT_TRUE(!up || held[vk]) << "key-up without key-down, vk " << std::hex << vk;
            held[vk] = !up;
        }
        for (const auto& [vk, down] : held)
            EXPECT_FALSE(down) << "left down, vk " << std::hex << vk;
    }

    bool Type(int key)
    {
        model.Press(key);
        bool ok = WaitForPolls(3);
        model.Release(key);
        return WaitForPolls(3) && ok;
    }
};

TEST_F(Engine, PollAndKeyOutputTicksAllocateNothing)
{
    long idle = -1, held = -1;
    std::size_t journalBefore = 0, journalAfter = 0;
    ASSERT_TRUE(Run([&] {
        auto window = [&](long& allocations) {
            std::uint64_t start = model.TotalRequests();
            kpltest::StartAllocationCount();
            model.WaitForRequests(start + 40, 20000);
            allocations = kpltest::StopAllocationCount();
        };
        WaitForPolls(10);
        window(idle);
        model.Press(0);
        WaitForPolls(20);  // held past the repeat delay
        journalBefore = Journal().size();
        window(held);
        journalAfter = Journal().size();
        model.Release(0);
        WaitForPolls(4);
    }));
    EXPECT_GT(journalAfter, journalBefore) << "the key did not repeat while counted";
    EXPECT_EQ(idle, 0);
    EXPECT_EQ(held, 0);
}

TEST_F(Engine, FailingDriverRequestsAreEachLoggedAndKeysResume)
{
    ASSERT_TRUE(Run([&] {
        EXPECT_TRUE(WaitForPolls(4));
        int key = 0;
        for (unsigned failing : {1u, 4u}) {
            SCOPED_TRACE(failing);
            std::size_t before = CountEvents("Error 0xC0000004 ");
            std::size_t journal = Journal().size();
            // The key goes down while the driver fails; it arrives once the driver recovers.
            FailPanelDriverRequests(ERROR_GEN_FAILURE, failing);
            model.Press(key);
            EXPECT_TRUE(kpltest::WaitUntil([&] { return CountEvents("Error 0xC0000004 ") >= before + failing; }));
            EXPECT_TRUE(kpltest::WaitUntil([&] { return Journal().size() >= journal + 1; }));
            model.Release(key);
            EXPECT_TRUE(kpltest::WaitUntil([&] { return Journal().size() >= journal + 2; }));
            EXPECT_TRUE(WaitForPolls(4));
            EXPECT_EQ(CountEvents("Error 0xC0000004 "), before + failing);
            EXPECT_EQ(Journal().size(), journal + 2);
            key = 1;
        }
    }));
    EXPECT_EQ(CountEvents("Error 0xC0000004 PGW/KPL service failed: A device attached to the system is not "
                          "functioning."),
              5u);
    auto keys = Journal();
    ASSERT_EQ(keys.size(), 4u);
    EXPECT_EQ(keys[0].first, 0x41u);
    EXPECT_EQ(keys[2].first, 0x42u);
    ExpectEveryKeyDownMatched();
}

// Keys go to the input desktop, told from the desktop the key output thread
// is really on: a second run's new thread starts on the default desktop, and
// a failed restore after the secure attention key leaves it on Winlogon.
TEST_F(Engine, KeysFollowTheDesktopTheThreadIsReallyOn)
{
    SetInputDesktop("Winlogon");
    for (int run = 0; run < 2; ++run)
        ASSERT_TRUE(Run([&] { EXPECT_TRUE(WaitForPolls(2) && Type(0)); }));
    SetInputDesktop("Default");
    ASSERT_TRUE(Run([&] {
        EXPECT_TRUE(WaitForPolls(2));
        // The second SetThreadDesktop of the secure attention key, its restore, fails.
        FailSimulatedUserCall(UserCall::SetThreadDesktop, ERROR_ACCESS_DENIED, 1, 1);
        EXPECT_TRUE(Type(127) && Type(1));
    }));
    std::vector<std::string> desktops;
    auto keys = Journal(&desktops);
    ASSERT_EQ(keys.size(), 6u);
    EXPECT_EQ(desktops, (std::vector<std::string>{"Winlogon", "Winlogon", "Winlogon", "Winlogon", "Default",
                                                  "Default"}));
    EXPECT_EQ(keys[4].first, 0x42u);
    EXPECT_NE(kpltest::ReadFile(dir.File("keys.journal")).find("hotkey desktop=Winlogon"), std::string::npos);
}

// Runs in one process, as a service stopped and started again: the second
// run must tick (its repeat settings are unchanged) and none leaks.
TEST_F(Engine, StartStopCyclesLeakNothing)
{
    const unsigned cycles = EnvNumber("KPL_SOAK_CYCLES", 60);
    constexpr unsigned WarmUp = 10;
    std::mt19937 random(11);
    Resources baseline{};
    unsigned failedRuns = 0;
    const int idleThreads = CountEntries("/proc/self/task");
    for (unsigned cycle = 0; cycle < cycles + WarmUp; ++cycle) {
        if (cycle == WarmUp) {
            EXPECT_TRUE(kpltest::WaitUntil([&] { return CountEntries("/proc/self/task") <= idleThreads; }));
            baseline = Measure();
        }
        int key = static_cast<int>(random() % 26);
        bool ran = Run([&] {
            switch (cycle % 4) {
            case 2:  // stopped with the key held: the stop releases it
                model.Press(key);
                WaitForPolls(3);
                break;
            case 3: Type(key); break;
            default: WaitForPolls(1); break;
            }
        });
        model.ReleaseAll();
        failedRuns += !ran;
    }
    EXPECT_EQ(failedRuns, 0u);
    EXPECT_TRUE(kpltest::WaitUntil([&] { return CountEntries("/proc/self/task") <= baseline.threads; }));
    Resources after = Measure();
    std::printf("%u cycles; before: %s; after: %s\n", cycles, Describe(baseline).c_str(), Describe(after).c_str());
    EXPECT_TRUE(after == baseline) << Describe(baseline) << " -> " << Describe(after);
    if (CheckResidentSize) {
        EXPECT_LT(after.residentKb - baseline.residentKb, 4096);
    }
    EXPECT_EQ(CountEvents("0x40000013"), cycles + WarmUp);  // every run started and stopped
    EXPECT_EQ(CountEvents("Error "), 0u);
    // A run that starts while the answer to the last request of the one
    // before is on its way reads it as the first answer: one warning, and
    // the retry identifies the Keypanel.
    EXPECT_EQ(CountEvents("Warning "), CountEvents("Warning 0x8000000F Unexpected Keypanel response"));
    EXPECT_LE(CountEvents("Warning "), (cycles + WarmUp) / 3);
    // Keys came out (a key held only while a run was still identifying may
    // not), and every key-down has its key-up.
    std::size_t downs = 0;
    for (const auto& [vk, up] : Journal())
        downs += !up;
    EXPECT_GE(downs, static_cast<std::size_t>((cycles + WarmUp) / 4));
    ExpectEveryKeyDownMatched();
}

TEST_F(Engine, SoakTypingRun)
{
    const unsigned seconds = EnvNumber("KPL_SOAK_SECONDS", 0);
    if (seconds == 0)
        GTEST_SKIP() << "set KPL_SOAK_SECONDS for the long typing run (./run soak)";
    std::mt19937 random(12);
    std::string expected;
    Resources warm{}, after{};
    ASSERT_TRUE(Run([&] {
        auto start = std::chrono::steady_clock::now();
        bool measured = false;
        while (std::chrono::steady_clock::now() - start < std::chrono::seconds(seconds)) {
            if (!measured && std::chrono::steady_clock::now() - start >= std::chrono::seconds(seconds) / 10) {
                warm = Measure();
                measured = true;
            }
            int key = static_cast<int>(random() % 26);
            if (!Type(key))
                break;
            expected += static_cast<char>('A' + key);
        }
        WaitForPolls(4);
        after = Measure();
    }));
    std::printf("%zu keys in %u s; warm: %s; end: %s\n", expected.size(), seconds, Describe(warm).c_str(),
                Describe(after).c_str());
    EXPECT_TRUE(after == warm) << Describe(warm) << " -> " << Describe(after);
    if (CheckResidentSize) {
        EXPECT_LT(after.residentKb - warm.residentKb, 2048);
    }
    std::string typed;
    for (const auto& [vk, up] : Journal())
        if (!up)
            typed += static_cast<char>(vk);
    EXPECT_EQ(typed, expected);
    ExpectEveryKeyDownMatched();
}

}  // namespace
