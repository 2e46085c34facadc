// The engine's ticks allocate nothing: the 50 ms poll tick on the main
// thread and the key output tick, idle and with a key held and repeating,
// counted by a replacement allocator over many ticks.
#include "keyboard/keyboard.h"
#include "platform/linux/simulation.h"
#include "polling/polling.h"
#include "service/log.h"
#include "sim/keypanel_line.h"
#include "tests/support/counting_allocator.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

TEST(EngineAllocation, PollAndKeyOutputTicksAllocateNothing)
{
    kpltest::TempDir dir;
    kplsim::KeypanelModel model;
    kplsim::KeypanelLine line;
    std::string error;
    ASSERT_TRUE(line.OpenPty(error)) << error;
    kpltest::WriteFile(dir.File("machine.reg"),
                       "Windows Registry Editor Version 5.00\r\n\r\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost]\r\n"
                       "\"KeyJournal\"=\"" + dir.File("keys.journal") + "\"\r\n\r\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost\\Ports]\r\n\"COM3\"=\"" + line.Path() + "\"\r\n\r\n"
                       "[HKEY_CURRENT_USER\\Control Panel\\Keyboard]\r\n\"KeyboardDelay\"=\"0\"\r\n\"KeyboardSpeed\"=\"31\"\r\n");
    kpltest::ScopedEnv registry("KPL_REGISTRY", dir.File("machine.reg"));
    ResetSimulatedUser();

    std::thread server([&] {
        kpltest::ExcludeThreadFromAllocationCount();
        std::string serveError;
        line.Serve(model, [](const kplsim::Exchange&) {}, serveError);
    });

    long idleAllocations = -1, heldAllocations = -1;
    std::uint64_t idlePolls = 0, heldPolls = 0;
    std::size_t journalBefore = 0, journalAfter = 0;
    std::thread controller([&] {
        kpltest::ExcludeThreadFromAllocationCount();
        auto window = [&](std::uint64_t polls, long& allocations, std::uint64_t& counted) {
            std::uint64_t start = model.TotalRequests();
            kpltest::StartAllocationCount();
            model.WaitForRequests(start + polls, 20000);
            allocations = kpltest::StopAllocationCount();
            counted = model.TotalRequests() - start;
        };
        model.WaitForRequests(10, 20000);  // identified and polling
        window(40, idleAllocations, idlePolls);
        model.Press(0);
        model.WaitForRequests(model.TotalRequests() + 20, 20000);  // held past the repeat delay
        journalBefore = kpltest::ReadFile(dir.File("keys.journal")).size();
        window(40, heldAllocations, heldPolls);
        journalAfter = kpltest::ReadFile(dir.File("keys.journal")).size();
        model.Release(0);
        model.WaitForRequests(model.TotalRequests() + 4, 20000);
        RequestStop();
    });

    ASSERT_TRUE(StartPolling("COM3", 19200, 8, 0, 0, 1, 3, 1000, 0, 0));
    EXPECT_TRUE(RunPollLoop());
    StopPolling();
    controller.join();
    line.Stop();
    server.join();

    EXPECT_GE(idlePolls, 40u);
    EXPECT_GE(heldPolls, 40u);
    EXPECT_GT(journalAfter, journalBefore) << "the key did not repeat while counted";
    EXPECT_EQ(idleAllocations, 0);
    EXPECT_EQ(heldAllocations, 0);
}

}  // namespace
