// Heap allocations of the running engine: the whole polling engine in this
// process against the Keypanel model on a pty and the driver model, with a
// counting allocator, over idle poll ticks and over key-output ticks with a
// key held and repeating. Prints one markdown table row.
#include "bench/bench_support.h"
#include "tests/support/counting_allocator.h"
#include "keyboard/keyboard.h"
#include "platform/linux/simulation.h"
#include "polling/polling.h"
#include "sim/keypanel_line.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace {

constexpr double KeyCycleMs = 40;  // key output cycle at keyboard speed 31
constexpr std::uint64_t WindowPolls = 200;

struct Window {
    long allocations = 0;
    std::uint64_t polls = 0;
    double milliseconds = 0;
    std::size_t journalBytes = 0;
};

}  // namespace

int main()
{
    kplbench::TempDir dir;
    kplsim::KeypanelModel model;
    kplsim::KeypanelLine line;
    std::string error;
    if (!line.OpenPty(error)) {
        std::fprintf(stderr, "engine_allocations: %s\n", error.c_str());
        return 1;
    }
    kplbench::WriteWholeFile(dir.File("machine.reg"), kplbench::MachineRegistry(dir, line.Path()));
    setenv("KPL_REGISTRY", dir.File("machine.reg").c_str(), 1);
    ResetSimulatedUser();

    std::thread server([&] {
        kpltest::ExcludeThreadFromAllocationCount();
        std::string serveError;
        line.Serve(model, [](const kplsim::Exchange&) {}, serveError);
    });

    Window idle, held;
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

    if (!ok || held.journalBytes == 0) {
        std::fprintf(stderr, "engine_allocations: the engine did not poll or the key did not repeat\n");
        return 1;
    }
    const double keyTicks = held.milliseconds / KeyCycleMs;
    std::printf("| %.2f (%ld in %llu ticks) | %.2f (%ld in ~%.0f ticks, key repeating) |\n",
                static_cast<double>(idle.allocations) / static_cast<double>(idle.polls), idle.allocations,
                static_cast<unsigned long long>(idle.polls), static_cast<double>(held.allocations) / keyTicks,
                held.allocations, keyTicks);
    return 0;
}
