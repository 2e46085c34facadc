// A fresh simulated machine per test: its own registry file with a key
// journal, the user world reset, debug mode off.
#pragma once

#include "platform/linux/simulation.h"
#include "platform/win32.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class SimulatedMachine : public ::testing::Test {
protected:
    kpltest::TempDir dir;
    kpltest::ScopedEnv registry{"KPL_REGISTRY", dir.File("machine.reg")};

    void SetUp() override { Configure(""); }
    void TearDown() override;

    // Writes the registry: the host key with the journal, plus `more` (.reg
    // sections and values). Starts the user world afresh.
    void Configure(const std::string& more);

    std::string JournalPath() const { return dir.File("keys.journal"); }
    // The journal's lines without their time stamps.
    std::vector<std::string> Journal() const;
    // Key-down events as "vk" numbers, for compact expectations.
    std::vector<unsigned> KeyDowns() const;
};

std::string KeyLine(const char* desktop, unsigned vk, unsigned scan, unsigned flags);
std::string HotKeyLine(const char* desktop);
// Desktop or window station name of a handle.
std::string ObjectName(HANDLE object);
