// Heap allocations of the running engine: the whole polling engine in this
// process against the Keypanel model on a pty and the driver model, with a
// counting allocator, over idle poll ticks and over key-output ticks with a
// key held and repeating, in several runs of the engine.
//   engine_allocations [--runs N]
// Prints one markdown table row: min / median / max over the runs.
#include "bench/bench_support.h"
#include "tests/support/counting_allocator.h"
#include "keyboard/keyboard.h"
#include "platform/linux/simulation.h"
#include "polling/polling.h"
#include "sim/keypanel_line.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr double KeyCycleMs = 40;  // key output cycle at keyboard speed 31
constexpr std::uint64_t WindowPolls = 100;

struct Window {
    long allocations = 0;
    std::uint64_t polls = 0;
    double milliseconds = 0;
    std::size_t journalBytes = 0;
};

// One run of the engine: a window of idle poll ticks, then one with a key
// held and repeating.
bool MeasureRun(Window& idle, Window& held)
{
    kplbench::TempDir dir;
    kplsim::KeypanelModel model;
    kplsim::KeypanelLine line;
    std::string error;
    if (!line.OpenPty(error)) {
        std::fprintf(stderr, "engine_allocations: %s\n", error.c_str());
        return false;
    }
    kplbench::WriteWholeFile(dir.File("machine.reg"), kplbench::MachineRegistry(dir, line.Path()));
    setenv("KPL_REGISTRY", dir.File("machine.reg").c_str(), 1);
    ResetSimulatedUser();

    std::thread server([&] {
        kpltest::ExcludeThreadFromAllocationCount();
        std::string serveError;
        line.Serve(model, [](const kplsim::Exchange&) {}, serveError);
    });

    bool ok = true;
    std::thread controller([&] {
        kpltest::ExcludeThreadFromAllocationCount();
        auto measure = [&](Window& window) {
            const std::size_t journalBefore = kplbench::ReadWholeFile(dir.File("keys.journal")).size();
            const std::uint64_t start = model.TotalRequests();
            const auto begin = std::chrono::steady_clock::now();
            kpltest::StartAllocationCount();
            ok = model.WaitForRequests(start + WindowPolls, 60000) && ok;
            window.allocations = kpltest::StopAllocationCount();
            window.polls = model.TotalRequests() - start;
            window.milliseconds = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
            window.journalBytes = kplbench::ReadWholeFile(dir.File("keys.journal")).size() - journalBefore;
        };
        ok = model.WaitForRequests(10, 20000);  // identified and polling
        measure(idle);
        model.Press(0);
        ok = model.WaitForRequests(model.TotalRequests() + 20, 20000) && ok;  // past the repeat delay
        measure(held);
        model.Release(0);
        model.WaitForRequests(model.TotalRequests() + 4, 20000);
        RequestStop();
    });

    if (!StartPolling("COM3", 19200, 8, 0, 0, 1, 3, 1000, 0, 0)) {
        std::fprintf(stderr, "engine_allocations: start-up failed\n");
        RequestStop();
        ok = false;
    } else {
        RunPollLoop();
    }
    StopPolling();
    controller.join();
    line.Stop();
    server.join();
    unsetenv("KPL_REGISTRY");
    ResetSimulatedUser();  // closes the key journal before the directory goes

    if (!ok || held.journalBytes == 0) {
        std::fprintf(stderr, "engine_allocations: the engine did not poll or the key did not repeat\n");
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    int runs = 3;
    if (argc == 3 && std::strcmp(argv[1], "--runs") == 0)
        runs = std::max(1, std::atoi(argv[2]));
    std::vector<double> perPoll, perKeyTick;
    long idleAllocations = 0, heldAllocations = 0;
    std::uint64_t polls = 0;
    double keyTicks = 0;
    for (int run = 1; run <= runs; ++run) {
        Window idle, held;
        if (!MeasureRun(idle, held))
            return 1;
        const double ticks = held.milliseconds / KeyCycleMs;
        perPoll.push_back(static_cast<double>(idle.allocations) / static_cast<double>(idle.polls));
        perKeyTick.push_back(static_cast<double>(held.allocations) / ticks);
        idleAllocations += idle.allocations;
        heldAllocations += held.allocations;
        polls += idle.polls;
        keyTicks += ticks;
        kplbench::Progress("run %d of %d: %ld allocations in %llu poll ticks, %ld in ~%.0f key output ticks", run, runs,
                           idle.allocations, static_cast<unsigned long long>(idle.polls), held.allocations, ticks);
    }
    std::printf("| %s (%ld in %llu ticks) | %s (%ld in ~%.0f ticks, key repeating) |\n",
                kplbench::Cells(kplbench::SpreadOf(perPoll), 2).c_str(), idleAllocations,
                static_cast<unsigned long long>(polls), kplbench::Cells(kplbench::SpreadOf(perKeyTick), 2).c_str(),
                heldAllocations, keyTicks);
    return 0;
}
