// What the host tells, through the same calls on Windows and on Linux:
// event reporting as the console shows it in debug mode, formatted with the
// executable's message table. The configuration values are
// config_values.scn's.
#include "service/log.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

// The system text as the event shows it: line break and full stop removed.
std::string ShownSystemText(DWORD code)
{
    char text[1024];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                             sizeof text, nullptr);
    if (n == 0)
        return "Error " + std::to_string(code);
    const std::string s(text, n - 2);
    return s.ends_with('.') ? s.substr(0, s.size() - 1) : s;
}

class DebugEvents : public ::testing::Test {
protected:
    void SetUp() override
    {
        DebugMode = 1;
        ErrorEventCount = 1;
    }
    void TearDown() override { DebugMode = 0; }
    static std::string Capture(const std::function<void()>& action)
    {
        ::testing::internal::CaptureStdout();
        action();
        std::fflush(stdout);
        return ::testing::internal::GetCapturedStdout();
    }
    // Strips the "hh:mm:ss.mmm: " stamp after checking its shape.
    static std::string Text(const std::string& line)
    {
        static const std::regex stamp(R"(^([01]\d|2[0-3]):[0-5]\d:[0-5]\d\.\d{3}: )");
        EXPECT_TRUE(std::regex_search(line, stamp)) << line;
        return line.size() >= 14 ? line.substr(14) : line;
    }
};

TEST_F(DebugEvents, InsertionStringsFollowTheRules)
{
    struct Case { DWORD id; DWORD error; const char* text; std::string expected; } cases[] = {
        // error code and object: %1 the system text without its full stop, %2 the object
        {MSG_OPEN_PORT_FAILED, ERROR_ACCESS_DENIED, "COM3",
         "Open of Keypanel port COM3 failed: " + ShownSystemText(ERROR_ACCESS_DENIED) +
             ". Check if port is available and not used by another application.\r\n"},
        // a code the system has no text for
        {MSG_START_SERVICE_FAILED, 0x2345, nullptr, "Start service failed: Error 9029.\r\n"},
        // a system text with an insert of its own keeps it: 193, "Bad EXE format for %1." under wine
        {MSG_START_SERVICE_FAILED, 193, nullptr, "Start service failed: " + ShownSystemText(193) + ".\r\n"},
        // no error code: the text is %1, and %2 prints as nothing
        {MSG_KEYPANEL_VERSION, 0, "01.23", "Keypanel version 01.23 found (the type is the event data).\r\n"},
        {MSG_READ_RESPONSE_FAILED, 0, "KEYS", "Read  response from Keypanel failed: KEYS.\r\n"},
        // neither: both inserts empty
        {MSG_READ_RESPONSE_FAILED, 0, nullptr, "Read  response from Keypanel failed: .\r\n"},
    };
    for (const auto& c : cases) {
        std::string out = Capture([&] { LogError(c.id, c.error, c.text); });
        EXPECT_EQ(Text(out), c.expected) << std::hex << c.id;
    }
}

TEST_F(DebugEvents, ThrottleHoldsUnderConcurrentErrors)
{
    // Threads let go at once, trial after trial: never a 100th error, never a second notice.
    for (int trial = 0; trial < 50; ++trial) {
        ErrorEventCount = 1;
        std::atomic<int> waiting{6};
        std::string out = Capture([&] {
            std::vector<std::thread> threads;
            for (int t = 0; t < 6; ++t)
                threads.emplace_back([&] {
                    for (--waiting; waiting > 0;)
                        std::this_thread::yield();
                    for (int i = 0; i < 20; ++i)
                        LogError(MSG_DRIVER_REQUEST_FAILED, ERROR_GEN_FAILURE, nullptr);
                });
            for (auto& thread : threads)
                thread.join();
        });
        ASSERT_EQ(kpltest::CountOf(out, "PGW/KPL service failed"), 99u) << "trial " << trial;
        ASSERT_EQ(kpltest::CountOf(out, "Too many errors"), 1u) << "trial " << trial;
    }
}

}  // namespace
