// -install and -remove where a scenario cannot put them: an executable at a
// path of its own, a service manager that refuses. The words themselves are
// command_line.scn's and service_install.scn's.
#include "tests/support/process.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>

namespace {

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
    EXPECT_EQ(result.output, "Unable to install Keypanel Service - The data area passed to a system call is too "
                             "small. (0x7a)\n");
    EXPECT_FALSE(std::filesystem::exists(dir.File("units/kpl.service")));

    chmod(dir.File("units").c_str(), 0555);
    for (const char* word : {"-install", "-remove"})
        EXPECT_EQ(Run({word}).output, "OpenSCManager failed - Access is denied. (0x5)\n") << word;
    EXPECT_FALSE(std::filesystem::exists(dir.File("units/kpl.service")));
    chmod(dir.File("units").c_str(), 0755);
}

// A service that takes the stop control and runs on, as a hung one does: said,
// and deleted all the same (removal does not wait for ever).
TEST_F(CommandLine, RemovalSaysWhenTheServiceFailsToStop)
{
    EXPECT_EQ(Run({"-install"}).output, "Keypanel Service installed.\n");
    kpltest::Process hung({"/bin/sh", "-c", "trap '' TERM; echo ready; exec sleep 60"});
    ASSERT_TRUE(hung.WaitForOutput("ready", std::chrono::milliseconds(5000)));
    // The layer's status of a running service that accepts stop: pid, type, state, controls, ...
    kpltest::WriteFile(dir.File("run/kpl.status"), std::to_string(hung.Pid()) + " 16 4 1 0 0 0 0\n");
    EXPECT_EQ(Run({"-remove"}).output,
              "Stopping Keypanel Service.\nKeypanel Service failed to stop.\nKeypanel Service removed.\n");
}

}  // namespace
