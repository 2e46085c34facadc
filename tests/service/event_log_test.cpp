// Event reporting as the console shows it in debug mode: the same code path
// formats with the executable's message table on Windows and on Linux.
#include "service/log.h"

#include <gtest/gtest.h>

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
    std::string s(text);
    s.resize(s.size() - 2);
    if (!s.empty() && s.back() == '.')
        s.pop_back();
    return s;
}

class DebugEvents : public ::testing::Test {
protected:
    void SetUp() override
    {
        DebugMode = 1;
        ErrorEventCount = 1;
    }
    void TearDown() override
    {
        DebugMode = 0;
        ErrorEventCount = 1;
    }
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
        // no error code: the text is %1, and %2 prints as nothing
        {MSG_KEYPANEL_VERSION, 0, "01.23", "Keypanel version 01.23 found (the type is the event data).\r\n"},
        {MSG_READ_RESPONSE_FAILED, 0, "KEYS", "Read  response from Keypanel failed: KEYS.\r\n"},
        // neither: both inserts empty
        {MSG_READ_RESPONSE_FAILED, 0, nullptr, "Read  response from Keypanel failed: .\r\n"},
        {MSG_SERVICE_STARTED, 0, nullptr, "The Keypanel Service has started successfully.\r\n"},
        // the console-only event shows its text
        {MSG_CONSOLE_TEXT, 0, "hello", "hello\r\n"},
    };
    for (const auto& c : cases) {
        std::string out = Capture([&] { LogError(c.id, c.error, c.text); });
        EXPECT_EQ(Text(out), c.expected) << std::hex << c.id;
    }
}

TEST_F(DebugEvents, TooLongATextCannotBeFormatted)
{
    std::string huge(1100, 'x');
    std::string out = Capture([&] { LogError(MSG_OPEN_PORT_FAILED, 0, huge.c_str()); });
    EXPECT_EQ(out.rfind("Cannot format message: Error ", 0), 0u) << out.substr(0, 80);
    EXPECT_EQ(out.find('x'), std::string::npos);
}

TEST_F(DebugEvents, ThrottleHoldsUnderConcurrentErrors)
{
    std::string out = Capture([] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 6; ++t)
            threads.emplace_back([] {
                for (int i = 0; i < 40; ++i)
                    LogError(MSG_DRIVER_REQUEST_FAILED, ERROR_GEN_FAILURE, nullptr);
            });
        for (auto& thread : threads)
            thread.join();
    });
    auto count = [&](const std::string& needle) {
        std::size_t n = 0;
        for (std::size_t at = out.find(needle); at != std::string::npos; at = out.find(needle, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("PGW/KPL service failed"), 99u);
    EXPECT_EQ(count("Too many errors"), 1u);
}

TEST(FormatLastError, SystemTextAndCodeOrNothing)
{
    char buffer[256];
    SetLastError(ERROR_ACCESS_DENIED);
    std::string expected = ShownSystemText(ERROR_ACCESS_DENIED);
    // FormatLastError keeps the full stop; only the line break goes.
    char text[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_ACCESS_DENIED,
                             0, text, sizeof text, nullptr);
    ASSERT_GT(n, 2u);
    text[n - 2] = '\0';
    EXPECT_EQ(std::string(FormatLastError(buffer, sizeof buffer)), std::string(text) + " (0x5)");

    SetLastError(0x2345);
    EXPECT_STREQ(FormatLastError(buffer, sizeof buffer), "");

    // Too small for text plus " (0x5)" and its NUL: nothing, not a cut text.
    SetLastError(ERROR_ACCESS_DENIED);
    char small[10];
    EXPECT_STREQ(FormatLastError(small, sizeof small), "");
}

// The message table carried in the executable: every event in German and
// English (the same English texts), each ending in CR LF.
TEST(MessageTable, BothLanguagesHoldTheSameTexts)
{
    struct Known { DWORD id; const char* text; } known[] = {
        {MSG_TOO_MANY_ERRORS, "Too many errors occured. Event log of errors of Keypanel Service is disabled now. "
                              "Restart the Keypanel Service to enable logging of errors again.\r\n"},
        {MSG_SET_KEY_CYCLE_TIME_FAILED, "Set key cycle time failed: %1. The key auto-repeat maybe be done wrong.\r\n"},
        {MSG_SET_SERVICE_STATUS_FAILED, "Set service status failed: %1. The status of the Keypanel Service may be "
                                        "wrong in \"Services\".\r\n"},
        {MSG_COMMUNICATION_FAILED, "Keypanel communication failed. Velkor keys and LEDs cannot be handled.\r\n"},
        {MSG_CONSOLE_TEXT, "%1\r\n"},
    };
    for (const auto& k : known) {
        for (DWORD language : {0x0407u, 0x0409u}) {
            char text[1024];
            DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, k.id,
                                     language, text, sizeof text, nullptr);
            ASSERT_GT(n, 0u) << std::hex << k.id << " language " << language << " error " << std::dec
                             << GetLastError();
            EXPECT_STREQ(text, k.text) << std::hex << k.id << " language " << language;
        }
    }
}

}  // namespace
