// The error throttle under errors from several threads at once, which no
// run of the service makes on demand: never a 100th error, never a second
// notice. throttle.scn shows it across a long failure, and the scenarios
// every event's text.
#include "service/log.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

TEST(ErrorThrottle, HoldsUnderConcurrentErrors)
{
    DebugMode = 1;  // events on the console, where the suite reads them
    for (int trial = 0; trial < 50; ++trial) {
        ErrorEventCount = 1;
        std::atomic<int> waiting{6};
        ::testing::internal::CaptureStdout();
        std::vector<std::thread> threads;
        for (int t = 0; t < 6; ++t)
            threads.emplace_back([&] {
                for (--waiting; waiting > 0;)  // all let go at once
                    std::this_thread::yield();
                for (int i = 0; i < 20; ++i)
                    LogError(MSG_DRIVER_REQUEST_FAILED, ERROR_GEN_FAILURE, nullptr);
            });
        for (auto& thread : threads)
            thread.join();
        std::fflush(stdout);
        const std::string out = ::testing::internal::GetCapturedStdout();
        ASSERT_EQ(kpltest::CountOf(out, "PGW/KPL service failed"), 99u) << "trial " << trial;
        ASSERT_EQ(kpltest::CountOf(out, "Too many errors"), 1u) << "trial " << trial;
    }
}
