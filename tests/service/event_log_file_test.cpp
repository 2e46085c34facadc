// Events in service mode, as the Linux build's event log file shows them.
#include "service/log.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace {

class EventLogFile : public ::testing::Test {
protected:
    kpltest::TempDir dir;
    kpltest::ScopedEnv registry{"KPL_REGISTRY", dir.File("registry.reg")};

    void SetUp() override
    {
        DebugMode = 0;
        ErrorEventCount = 1;
        kpltest::WriteFile(dir.File("registry.reg"),
                           "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost]\r\n"
                           "\"EventLogFile\"=\"" + dir.File("events.log") + "\"\r\n");
    }
    void TearDown() override { ErrorEventCount = 1; }
    std::string Events() { return kpltest::ReadFile(dir.File("events.log")); }
};

TEST_F(EventLogFile, OneLinePerEventWithTypeIdTextAndData)
{
    LogError(MSG_OPEN_PORT_FAILED, ERROR_ACCESS_DENIED, "COM3");
    LogError(MSG_CONSOLE_TEXT, ERROR_ACCESS_DENIED, "console only");
    LogEvent(MSG_KEYPANEL_VERSION, 0, "01.23", "TKP10KEY", 9);
    LogEvent(MSG_UNEXPECTED_RESPONSE, 0, nullptr, "\x90", 1);
    LogError(MSG_CONSOLE_TEXT, 0, "console only");
    LogError(MSG_SERVICE_STARTED, 0, nullptr);
    const char* stamp = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z )";
    std::string expected = std::string(stamp) +
                           R"(Error 0xC0000009 Open of Keypanel port COM3 failed: Access is denied\. Check if port is available and not used by another application\.\n)" +
                           stamp + R"(Information 0x4000001A Keypanel version 01\.23 found \(the type is the event data\)\. data=54 4B 50 31 30 4B 45 59 00\n)" +
                           stamp + R"(Warning 0x8000000F Unexpected Keypanel response received \(the response ID is the event data\)\. data=90\n)" +
                           stamp + R"(Information 0x40000012 The Keypanel Service has started successfully\.\n)";
    EXPECT_TRUE(std::regex_match(Events(), std::regex(expected))) << Events();
}

TEST_F(EventLogFile, ThrottleStopsErrorsButNotMilestones)
{
    for (int i = 0; i < 150; ++i)
        LogError(MSG_READ_RESPONSE_FAILED, ERROR_TIMEOUT, "KEYS");
    LogError(MSG_SERVICE_STOPPED, 0, nullptr);
    LogEvent(MSG_UNEXPECTED_RESPONSE, 0, nullptr, "\x90", 1);
    std::string log = Events();
    const std::string error = "Warning 0x8000000E Read KEYS response from Keypanel failed: This operation returned "
                              "because the timeout period expired.\n";
    std::size_t errors = 0, lines = 0;
    for (std::size_t at = 0; (at = log.find(error, at)) != std::string::npos; ++at)
        ++errors;
    for (std::size_t at = 0; (at = log.find('\n', at)) != std::string::npos; ++at)
        ++lines;
    EXPECT_EQ(errors, 99u);
    EXPECT_EQ(lines, 102u);
    // The notice comes after the 99th error and before the milestones.
    std::size_t notice = log.find("Information 0x40000017 Too many errors occured.");
    EXPECT_LT(log.rfind(error), notice);
    EXPECT_LT(notice, log.find("Information 0x40000013 The Keypanel Service has stopped successfully."));
    EXPECT_NE(log.find("Warning 0x8000000F Unexpected Keypanel response"), std::string::npos);
}

}  // namespace
