// Installation and removal through the platform's service control manager:
// the Linux layer's unit files here, wine's service database under win64.
#include "service/host.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

namespace {

std::string Console(void (*operation)())
{
    ::testing::internal::CaptureStdout();
    operation();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

bool EventSourceRegistered(DWORD* types)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Kpl", 0,
                      KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = 0, size = sizeof *types;
    LONG result = RegQueryValueExA(key, "TypesSupported", nullptr, &type, reinterpret_cast<BYTE*>(types), &size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS && type == REG_DWORD;
}

TEST(Installation, InstallTwiceRemoveTwice)
{
    kpltest::TempDir dir;
    std::filesystem::create_directory(dir.File("units"));
    kpltest::WriteFile(dir.File("machine.reg"), "Windows Registry Editor Version 5.00\r\n\r\n"
                                                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost]\r\n"
                                                "\"ServiceUnitDir\"=\"" + dir.File("units") + "\"\r\n");
    kpltest::ScopedEnv registry("KPL_REGISTRY", dir.File("machine.reg"));

    EXPECT_EQ(Console(InstallService), "Keypanel Service installed.\n");
    DWORD types = 0;
    EXPECT_TRUE(EventSourceRegistered(&types));
    EXPECT_EQ(types, 7u);

    // The system's text in between differs between wine and the Linux layer.
    EXPECT_TRUE(std::regex_match(Console(InstallService), std::regex("CreateService failed - .+ \\(0x431\\)\n")));

    EXPECT_EQ(Console(RemoveService), "Keypanel Service removed.\n");
    EXPECT_FALSE(EventSourceRegistered(&types));

    EXPECT_TRUE(std::regex_match(Console(RemoveService), std::regex("OpenService failed - .+ \\(0x424\\)\n")));
}

}  // namespace
