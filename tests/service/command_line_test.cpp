// The executable's command line, run as a real process with its own
// registry, event log file and service unit directory.
#include "tests/support/process.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>

namespace {

const std::string Usage = "VkKplSvc -install" + std::string(10, ' ') + "to install the service\n" +
                          "VkKplSvc -remove" + std::string(11, ' ') + "to remove the service\n" +
                          "VkKplSvc -debug <params>" + std::string(3, ' ') + "to run as a console app for debugging\n" +
                          "\nStartServiceCtrlDispatcher being called.\n" +
                          "This may take several seconds.  Please wait.\n";

class CommandLine : public ::testing::Test {
protected:
    kpltest::TempDir dir;

    void SetUp() override
    {
        std::filesystem::create_directory(dir.File("units"));
        std::filesystem::create_directory(dir.File("run"));
        kpltest::WriteFile(dir.File("registry.reg"),
                           "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost]\r\n"
                           "\"EventLogFile\"=\"" + dir.File("events.log") + "\"\r\n"
                           "\"ServiceUnitDir\"=\"" + dir.File("units") + "\"\r\n"
                           "\"RuntimeDir\"=\"" + dir.File("run") + "\"\r\n");
    }
    kpltest::ProcessResult Run(std::vector<std::string> args)
    {
        args.insert(args.begin(), KPL_SERVICE_EXE);
        return kpltest::RunProcess(args, {{"KPL_REGISTRY", dir.File("registry.reg")}});
    }
    std::string Events() { return kpltest::ReadFile(dir.File("events.log")); }
};

TEST_F(CommandLine, UnrecognisedWordsPrintUsageAndCallTheDispatcher)
{
    const std::vector<std::vector<std::string>> lines = {
        {}, {"remove"}, {"-rem"}, {"-installx"}, {"--install"}, {"-"}, {"debug"}, {"+debug"}, {"-de bug"}};
    for (const auto& args : lines) {
        auto result = Run(args);
        EXPECT_EQ(result.exitStatus, 0);
        EXPECT_EQ(result.output, Usage) << (args.empty() ? "(none)" : args[0]);
    }
    // From a console the dispatcher cannot connect, every time.
    std::string events = Events(), once = "Error 0xC0000015 Start service failed: The service process could not "
                                          "connect to the service controller.\n";
    std::size_t count = 0;
    for (std::size_t at = 0; (at = events.find(once, at)) != std::string::npos; at += once.size())
        ++count;
    EXPECT_EQ(count, lines.size()) << events;
}

TEST_F(CommandLine, InstallAndRemoveInAnyCaseWithEitherPrefix)
{
    struct Step { std::vector<std::string> args; std::string output; } steps[] = {
        {{"-install"}, "Keypanel Service installed.\n"},
        {{"/INSTALL"}, "CreateService failed - The specified service already exists. (0x431)\n"},
        {{"/REMOVE"}, "Keypanel Service removed.\n"},
        {{"-Remove"},
         "OpenService failed - The specified service does not exist as an installed service. (0x424)\n"},
        {{"/iNsTaLl", "extra"}, "Keypanel Service installed.\n"},
    };
    for (const auto& step : steps) {
        auto result = Run(step.args);
        EXPECT_EQ(result.exitStatus, 0);
        EXPECT_EQ(result.output, step.output) << step.args[0];
    }
    EXPECT_TRUE(std::filesystem::exists(dir.File("units/kpl.service")));
    // Installation and removal speak to the console only.
    EXPECT_EQ(Events(), "");
}

TEST_F(CommandLine, DebugRunsTheServiceOnTheConsole)
{
    auto result = Run({"-DEBUG", "more", "words"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.output.rfind("Debugging Keypanel Service.\n", 0), 0u) << result.output;
    EXPECT_EQ(Events(), "");
}

TEST_F(CommandLine, WithoutAnAdministratorsRightsInstallationIsRefused)
{
    chmod(dir.File("units").c_str(), 0555);
    auto result = Run({"-install"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.output, "OpenSCManager failed - Access is denied. (0x5)\n");
    EXPECT_FALSE(std::filesystem::exists(dir.File("units/kpl.service")));
    chmod(dir.File("units").c_str(), 0755);
}

}  // namespace
