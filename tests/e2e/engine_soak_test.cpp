// The whole engine in-process against the Keypanel model on a pty and the
// panel driver model: failing driver requests, many start/stop cycles and a
// long typing run, ending with nothing leaked and no key left down.
//
// KPL_SOAK_CYCLES and KPL_SOAK_SECONDS make the soak longer (the defaults
// keep it short enough for every build of the test run).
#include "keyboard/keyboard.h"
#include "platform/linux/kernel_object.h"
#include "platform/linux/simulation.h"
#include "polling/polling.h"
#include "service/log.h"
#include "sim/keypanel_line.h"
#include "sim/panel_driver_model.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <thread>

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Quarantine and shadow memory make the resident size say nothing about leaks;
// the sanitizers check those themselves.
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
            if (entry->d_name[0] != '.')
                ++n;
        closedir(dir);
    }
    return n;
}

// Less the descriptor that lists them.
int OpenDescriptors()
{
    return CountEntries("/proc/self/fd") - 1;
}

// Open kernel handles: the table hands out ascending multiples of 4 from
// 0x1000, so every handle ever given lies below a new one.
int OpenKernelHandles()
{
    struct Probe : KernelObject {};
    HANDLE probe = RegisterKernelObject(std::make_shared<Probe>());
    auto end = reinterpret_cast<ULONG_PTR>(probe);
    int n = 0;
    for (ULONG_PTR value = 0x1000; value < end; value += 4)
        if (LookupKernelObject(reinterpret_cast<HANDLE>(value)))
            ++n;
    CloseHandle(probe);
    return n;
}

long ResidentKilobytes()
{
    std::istringstream statm(kpltest::ReadFile("/proc/self/statm"));
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

struct Resources {
    int fds, threads, handles, userHandles;
    long residentKb;
};

Resources Measure()
{
    return {OpenDescriptors(), CountEntries("/proc/self/task"), OpenKernelHandles(),
            OpenSimulatedUserHandles(), ResidentKilobytes()};
}

std::string Describe(const Resources& r)
{
    char text[160];
    std::snprintf(text, sizeof text, "fds %d, threads %d, handles %d, desktop handles %d, RSS %ld kB", r.fds,
                  r.threads, r.handles, r.userHandles, r.residentKb);
    return text;
}

struct JournalKey {
    unsigned vk;
    bool up;
};

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
                           "\"KeyJournal\"=\"" + dir.File("keys.journal") + "\"\r\n\r\n"
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost\\Ports]\r\n\"COM3\"=\"" + line.Path() + "\"\r\n\r\n"
                           "[HKEY_CURRENT_USER\\Control Panel\\Keyboard]\r\n"
                           "\"KeyboardDelay\"=\"0\"\r\n\"KeyboardSpeed\"=\"31\"\r\n");
        registry = std::make_unique<kpltest::ScopedEnv>("KPL_REGISTRY", dir.File("machine.reg"));
        ResetSimulatedUser();
        FailPanelDriverRequests(0, 0);
        DebugMode = 0;
        ErrorEventCount = 1;
        server = std::thread([this] {
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

    bool WaitForPolls(std::uint64_t polls) { return model.WaitForRequests(model.TotalRequests() + polls, 10000); }

    std::vector<JournalKey> Journal()
    {
        std::vector<JournalKey> keys;
        std::istringstream in(kpltest::ReadFile(dir.File("keys.journal")));
        std::string text;
        while (std::getline(in, text)) {
            auto at = text.find(" keybd_event ");
            unsigned vk = 0, scan = 0, flags = 0;
            if (at != std::string::npos &&
                std::sscanf(text.c_str() + at, " keybd_event desktop=%*s vk=%x scan=%x flags=%x", &vk, &scan,
                            &flags) == 3)
                keys.push_back({vk, (flags & 2) != 0});
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

    // Every key-down matched by its key-up; repeats are key-downs of a held key.
    void ExpectEveryKeyDownMatched()
    {
        std::map<unsigned, bool> held;
        std::size_t downs = 0, ups = 0;
        for (const auto& key : Journal()) {
            if (key.up) {
                EXPECT_TRUE(held[key.vk]) << "key-up without key-down, vk " << std::hex << key.vk;
                held[key.vk] = false;
                ++ups;
            } else {
                held[key.vk] = true;
                ++downs;
            }
        }
        for (const auto& [vk, down] : held)
            EXPECT_FALSE(down) << "left down, vk " << std::hex << vk;
        RecordProperty("key_events", static_cast<int>(downs + ups));
    }

    // Holds each key over three polls, so the key output thread sees it
    // down and then up on its own cycle.
    bool Type(int key)
    {
        model.Press(key);
        bool ok = WaitForPolls(3);
        model.Release(key);
        return WaitForPolls(3) && ok;
    }
};

TEST_F(Engine, FailingDriverRequestsAreEachLoggedAndKeysResume)
{
    constexpr int KeyA = 0, KeyB = 1;
    std::vector<std::string> failures;
    ASSERT_TRUE(Run([&] {
        EXPECT_TRUE(WaitForPolls(4));
        int key = KeyA;
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
            auto keys = Journal();
            EXPECT_EQ(keys.size(), journal + 2);
            key = KeyB;
        }
    }));
    EXPECT_EQ(CountEvents("Error 0xC0000004 PGW/KPL service failed: A device attached to the system is not "
                          "functioning."),
              5u);
    auto keys = Journal();
    ASSERT_EQ(keys.size(), 4u);
    EXPECT_EQ(keys[0].vk, 0x41u);
    EXPECT_EQ(keys[2].vk, 0x42u);
    ExpectEveryKeyDownMatched();
    EXPECT_EQ(CountEvents("0x40000013"), 1u);
}

TEST_F(Engine, SoakStartStopCycles)
{
    const unsigned cycles = EnvNumber("KPL_SOAK_CYCLES", 200);
    constexpr unsigned WarmUp = 10;
    // Letters only, away from the lock keys, whose LEDs would outlive a run.
    std::mt19937 random(11);
    Resources baseline{};
    unsigned failedRuns = 0;
    // Before any run: this thread, the line's and whatever a sanitizer keeps.
    const int idleThreads = CountEntries("/proc/self/task");
    for (unsigned cycle = 0; cycle < cycles + WarmUp; ++cycle) {
        if (cycle == WarmUp) {
            EXPECT_TRUE(kpltest::WaitUntil([&] { return CountEntries("/proc/self/task") <= idleThreads; }))
                << CountEntries("/proc/self/task");
            baseline = Measure();
        }
        int key = static_cast<int>(random() % 26);
        // Most runs stop as soon as they can: start and stop are what is soaked.
        bool ran = Run([&] {
            switch (cycle % 8) {
            case 5: WaitForPolls(1); break;
            case 6:  // stopped with the key held: the stop releases it
                model.Press(key);
                WaitForPolls(3);
                break;
            case 7: Type(key); break;
            default: break;
            }
        });
        model.ReleaseAll();
        if (!ran)
            ++failedRuns;
    }
    EXPECT_EQ(failedRuns, 0u);
    // The engine's threads are gone once their handles were waited for.
    EXPECT_TRUE(kpltest::WaitUntil([&] { return CountEntries("/proc/self/task") <= baseline.threads; }));
    Resources after = Measure();
    RecordProperty("cycles", static_cast<int>(cycles));
    RecordProperty("before", Describe(baseline));
    RecordProperty("after", Describe(after));
    std::printf("%u cycles; before: %s; after: %s\n", cycles, Describe(baseline).c_str(), Describe(after).c_str());
    EXPECT_EQ(after.fds, baseline.fds);
    EXPECT_EQ(after.threads, baseline.threads);
    EXPECT_EQ(after.handles, baseline.handles);
    EXPECT_EQ(after.userHandles, baseline.userHandles);
    if (CheckResidentSize) {
        EXPECT_LT(after.residentKb - baseline.residentKb, 4096);
    }
    EXPECT_EQ(CountEvents("0x40000012"), cycles + WarmUp);  // every run started
    EXPECT_EQ(CountEvents("0x40000013"), cycles + WarmUp);  // and stopped
    EXPECT_EQ(CountEvents("Error "), 0u) << [&] {
        std::string log = kpltest::ReadFile(dir.File("events.log")), errors;
        std::istringstream lines(log);
        for (std::string text; std::getline(lines, text);)
            if (text.find("Error ") != std::string::npos && errors.size() < 3000)
                errors += text + "\n";
        return errors;
    }();
    // A run that starts while the answer to the last request of the one
    // before is still on its way reads it as the first answer: one warning,
    // and the retry identifies the Keypanel.
    std::size_t warnings = CountEvents("Warning ");
    RecordProperty("late_answers", static_cast<int>(warnings));
    EXPECT_EQ(warnings, CountEvents("Warning 0x8000000F Unexpected Keypanel response"));
    EXPECT_LE(warnings, (cycles + WarmUp) / 10);
    ExpectEveryKeyDownMatched();
}

TEST_F(Engine, SoakTypingRun)
{
    const unsigned seconds = EnvNumber("KPL_SOAK_SECONDS", 20);
    constexpr int KeyShift = 53;
    std::mt19937 random(12);
    std::string expected;
    Resources warm{}, after{};
    ASSERT_TRUE(Run([&] {
        auto start = Clock::now();
        auto end = start + std::chrono::seconds(seconds);
        bool measured = false;
        while (Clock::now() < end) {
            if (!measured && Clock::now() - start >= std::chrono::seconds(seconds) / 10) {
                warm = Measure();
                measured = true;
            }
            // Now and then a capital, with Shift held around it.
            int key = static_cast<int>(random() % 26);
            bool shifted = random() % 8 == 0;
            if (shifted) {
                model.Press(KeyShift);
                WaitForPolls(2);
            }
            if (!Type(key))
                break;
            if (shifted) {
                model.Release(KeyShift);
                WaitForPolls(3);
            }
            expected += static_cast<char>((shifted ? 'A' : 'a') + key);
        }
        WaitForPolls(4);
        after = Measure();
    }));
    RecordProperty("keys_typed", static_cast<int>(expected.size()));
    std::printf("%zu keys in %u s; warm: %s; end: %s\n", expected.size(), seconds, Describe(warm).c_str(),
                Describe(after).c_str());
    EXPECT_GE(expected.size(), seconds);  // at least a key a second
    EXPECT_EQ(after.fds, warm.fds);
    EXPECT_EQ(after.threads, warm.threads);
    EXPECT_EQ(after.handles, warm.handles);
    EXPECT_EQ(after.userHandles, warm.userHandles);
    if (CheckResidentSize) {
        EXPECT_LT(after.residentKb - warm.residentKb, 2048);
    }

    std::string typed;
    bool shift = false;
    for (const auto& key : Journal()) {
        if (key.vk == 0xA0 || key.vk == 0xA1 || key.vk == 0x10) {
            shift = !key.up;
        } else if (!key.up && key.vk >= 'A' && key.vk <= 'Z') {
            typed += static_cast<char>(shift ? key.vk : key.vk + ('a' - 'A'));
        }
    }
    EXPECT_EQ(typed, expected);
    ExpectEveryKeyDownMatched();
    EXPECT_EQ(CountEvents("Error "), 0u);
}

}  // namespace
