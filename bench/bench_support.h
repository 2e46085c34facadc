// Small helpers of the measuring tools: the registry of the simulated
// machine, figures over several runs and how they are shown; temporary
// directories and files come from the tests' support.
#pragma once

#include <string>
#include <vector>

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

// One figure over several runs.
struct Spread {
    double min = 0;
    double median = 0;
    double max = 0;
    // Whether the runs differ by more than a fifth of the median: then a change
    // of that size between two reports may be noise.
    bool Wide() const;
};
Spread SpreadOf(std::vector<double> runs);

// "min / median / max", with that many decimals.
std::string Cells(const Spread& spread, int decimals);
// A time: nanoseconds up to 10,000, microseconds above.
std::string Duration(double nanoseconds);
std::string Durations(const Spread& spread);

// The figures whose runs spread wide, for a note under a table.
class SpreadNotes {
public:
    void Check(const std::string& figure, const Spread& spread);
    // The note as a markdown paragraph, nothing when every spread is narrow.
    std::string Text() const;

private:
    std::vector<std::string> wide_;
};

// A line on standard error while a long measurement runs.
void Progress(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kplbench
