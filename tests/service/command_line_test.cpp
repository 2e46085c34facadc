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
    kpltest::TempMachine dir;

    void SetUp() override
    {
        std::filesystem::create_directory(dir.File("units"));
        std::filesystem::create_directory(dir.File("run"));
        dir.WriteRegistry({{"EventLogFile", dir.File("events.log")}, {"ServiceUnitDir", dir.File("units")},
                           {"RuntimeDir", dir.File("run")}});
    }
    kpltest::ProcessResult Run(std::vector<std::string> args, const std::string& exe = KPL_SERVICE_EXE)
    {
        args.insert(args.begin(), exe);
        return kpltest::RunProcess(args);
    }
    // A copy of the executable in `folder` under the test's directory.
    std::string CopyAt(const std::string& folder)
    {
        std::filesystem::create_directories(dir.File(folder));
        const std::string exe = dir.File(folder + "/VkKplSvc");
        std::filesystem::copy_file(KPL_SERVICE_EXE, exe);
        return exe;
    }
    std::string Unit() { return kpltest::ReadFile(dir.File("units/kpl.service")); }
};

TEST_F(CommandLine, WordsInAnyCaseWithEitherPrefixAndUsageForTheRest)
{
    const struct { std::vector<std::string> args; std::string output; } steps[] = {
        {{}, Usage}, {{"remove"}, Usage}, {{"-rem"}, Usage}, {{"-installx"}, Usage}, {{"--install"}, Usage},
        {{"-"}, Usage}, {{"debug"}, Usage}, {{"+debug"}, Usage}, {{"-de bug"}, Usage},
        {{"-install"}, "Keypanel Service installed.\n"},
        {{"/INSTALL"}, "CreateService failed - The specified service already exists. (0x431)\n"},
        {{"/REMOVE"}, "Keypanel Service removed.\n"},
        {{"-Remove"}, "OpenService failed - The specified service does not exist as an installed service. (0x424)\n"},
        {{"/iNsTaLl", "extra"}, "Keypanel Service installed.\n"},
    };
    std::size_t usages = 0;
    for (const auto& step : steps) {
        auto result = Run(step.args);
        EXPECT_EQ(result.exitStatus, 0);
        EXPECT_EQ(result.output, step.output) << (step.args.empty() ? "(none)" : step.args[0]);
        usages += step.output == Usage;
    }
    // From a console the dispatcher cannot connect, each time; installation
    // and removal speak to the console only.
    const std::string events = kpltest::ReadFile(dir.File("events.log"));
    const std::string once = "Error 0xC0000015 Start service failed: The service process could not connect to "
                             "the service controller.\n";
    EXPECT_EQ(kpltest::CountOf(events, once), usages) << events;
    EXPECT_EQ(kpltest::CountOf(events, "\n"), usages) << events;
}

TEST_F(CommandLine, InstallationRegistersOnlyAPathThatNamesItsExecutable)
{
    // Unquoted, a path with a blank would let the system start another program.
    const std::string blank = CopyAt("with blank");
    EXPECT_EQ(Run({"-install"}, blank).output, "Keypanel Service installed.\n");
    EXPECT_NE(Unit().find("\nExecStart=\"" + blank + "\"\n"), std::string::npos) << Unit();
    EXPECT_EQ(Run({"-remove"}).output, "Keypanel Service removed.\n");

    // A path cut to 512 bytes would register another program.
    const std::string longer = CopyAt(std::string(200, 'd') + "/" + std::string(200, 'd') + "/" + std::string(100, 'd'));
    ASSERT_GE(longer.size(), 512u);
    auto result = Run({"-install"}, longer);
    EXPECT_EQ(result.output.rfind("Unable to install Keypanel Service - ", 0), 0u) << result.output;
    EXPECT_FALSE(std::filesystem::exists(dir.File("units/kpl.service")));

    chmod(dir.File("units").c_str(), 0555);
    EXPECT_EQ(Run({"-install"}).output, "OpenSCManager failed - Access is denied. (0x5)\n");
    EXPECT_FALSE(std::filesystem::exists(dir.File("units/kpl.service")));
    chmod(dir.File("units").c_str(), 0755);
}

}  // namespace
