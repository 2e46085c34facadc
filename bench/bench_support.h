// Small helpers of the measuring tools: the registry of the simulated
// machine; temporary directories and files come from the tests' support.
#pragma once

#include <string>

#include "tests/support/test_support.h"

namespace kplbench {

using kpltest::TempDir;

// Host values (journal, event log), COM3 on `portPath`, the keyboard settings
// Windows installs by default (delay 1, speed 31), plus `more`.
std::string MachineRegistry(const TempDir& dir, const std::string& portPath, const std::string& more = "");

inline std::string ReadWholeFile(const std::string& path)
{
    return kpltest::ReadFile(path);
}

inline void WriteWholeFile(const std::string& path, const std::string& content)
{
    kpltest::WriteFile(path, content);
}

}  // namespace kplbench
