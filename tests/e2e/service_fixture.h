// The real VkKplSvc in debug mode against a Keypanel model served on a
// pseudo-terminal from the test process, with its own registry, key
// journal and event log.
#pragma once

#include "sim/keypanel_line.h"
#include "sim/keypanel_model.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kpltest {

struct KeyEvent {
    unsigned vk;
    unsigned scan;
    unsigned flags;
    bool up() const { return (flags & 2) != 0; }
};

class ServiceTest : public ::testing::Test {
protected:
    TempDir dir;
    kplsim::KeypanelModel model;
    kplsim::KeypanelLine line;
    std::unique_ptr<Process> service;

    explicit ServiceTest(kplsim::Identity identity = {}) : model(std::move(identity)) {}
    void SetUp() override;
    void TearDown() override;

    // The registry of the simulated machine: host values, the port mapped to
    // the pseudo-terminal, US layout, repeat delay 0 and speed 31, plus `more`.
    void WriteRegistry(const std::string& more = "");
    void StartService();
    // Ctrl-C, then the process must end by itself with status 0.
    void StopService();
    // Waits for the process to end by itself (a failed start-up).
    int WaitForExit(std::chrono::milliseconds timeout = std::chrono::milliseconds(20000));

    bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
    std::string Output() { return service ? service->Output() : ""; }
    std::size_t Count(const std::string& text);

    std::vector<KeyEvent> Journal();
    // Waits until the journal holds at least n events.
    bool WaitForKeyEvents(std::size_t n, std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
    // Waits until `polls` more requests reached the Keypanel.
    bool WaitForPolls(std::uint64_t polls, unsigned timeoutMs = 10000);
    // Types the keys one after the other, each held for a few polls so that
    // the key output thread, on its own cycle, sees it down and then up;
    // keys up to index shiftedUpTo with Shift held.
    void Type(const std::vector<int>& keys, int shiftedUpTo = -1);
    // Letters, digits and blanks typed, with Shift: what an editor would show.
    std::string TypedText();

    // Requests as the Keypanel received them (kind and payload bytes).
    struct Request {
        kplsim::RequestKind kind;
        std::vector<std::uint8_t> payload;
    };
    std::vector<Request> Requests();

    std::string RegistryPath() const { return dir.File("machine.reg"); }

private:
    std::thread server_;
    std::mutex lock_;
    std::vector<Request> requests_;
};

}  // namespace kpltest
