// The communication error monitor: thresholds, clearing, and the pair of
// flag and error a reader on another thread sees.
#include "link/link.h"
#include "service/service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

struct Step {
    DWORD report;
    bool failed;     // flag after the report
    DWORD lastError;
};

struct Sequence {
    const char* what;
    DWORD threshold;
    std::vector<Step> steps;
};

TEST(CommMonitor, ThresholdsAndClearing)
{
    const Sequence sequences[] = {
        {"fourth failure raises at 3",
         3,
         {{13, false, 13}, {13, false, 13}, {13, false, 13}, {13, true, 13}, {0, false, 13}}},
        {"success restarts the count",
         3,
         {{23, false, 23}, {23, false, 23}, {0, false, 23}, {23, false, 23}, {23, false, 23}, {23, false, 23}}},
        {"first failure raises at 0", 0, {{1460, true, 1460}, {0, false, 1460}, {5, true, 5}}},
        {"raised stays raised, newest code", 1, {{13, false, 13}, {13, true, 13}, {23, true, 23}, {1167, true, 1167}}},
        {"nothing before the first failure", 3, {{0, false, 0}}},
    };
    for (const auto& sequence : sequences) {
        InitCommMonitor(sequence.threshold);
        int n = 0;
        for (const auto& step : sequence.steps) {
            SetCommResult(step.report);
            DWORD lastError = 0xDEAD;
            EXPECT_EQ(QueryCommError(&lastError) != 0, step.failed) << sequence.what << ", step " << n;
            EXPECT_EQ(lastError, step.lastError) << sequence.what << ", step " << n;
            ++n;
        }
        DeleteCommMonitor();
    }
}

TEST(CommMonitor, TraceLineOnlyForFailuresInDebugMode)
{
    InitCommMonitor(3);
    DebugMode = 1;
    ::testing::internal::CaptureStdout();
    SetCommResult(0);
    SetCommResult(1460);
    SetCommResult(0x80000005u);
    std::string out = ::testing::internal::GetCapturedStdout();
    DebugMode = 0;
    EXPECT_EQ(out, "Communication error: 1460 (000005b4h)\nCommunication error: -2147483643 (80000005h)\n");
    ::testing::internal::CaptureStdout();
    SetCommResult(13);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    DeleteCommMonitor();
}

TEST(CommMonitor, ReaderSeesConsistentPairs)
{
    // The writer alternates bursts of one code with a success; whenever the
    // reader sees the flag up, the error beside it is a code that raised it.
    InitCommMonitor(0);
    std::atomic<bool> done{false};
    std::atomic<int> raisedSeen{0};
    std::thread reader([&] {
        while (!done) {
            DWORD lastError = 0;
            if (QueryCommError(&lastError)) {
                EXPECT_TRUE(lastError == 13 || lastError == 23) << lastError;
                ++raisedSeen;
            }
        }
    });
    for (int i = 0; i < 20000; ++i) {
        SetCommResult(i % 2 ? 13 : 23);
        SetCommResult(0);
    }
    SetCommResult(23);
    done = true;
    reader.join();
    DWORD lastError = 0;
    EXPECT_NE(QueryCommError(&lastError), 0u);
    EXPECT_EQ(lastError, 23u);
    DeleteCommMonitor();
}

}  // namespace
