// Installation and removal through the platform's service control manager:
// the Linux layer's unit files here, wine's service database under win64.
#include "service/service.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
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

    std::string again = Console(InstallService);
    EXPECT_EQ(again.rfind("CreateService failed - ", 0), 0u) << again;
    EXPECT_NE(again.find(" (0x431)\n"), std::string::npos) << again;

    EXPECT_EQ(Console(RemoveService), "Keypanel Service removed.\n");
    EXPECT_FALSE(EventSourceRegistered(&types));

    std::string missing = Console(RemoveService);
    EXPECT_EQ(missing.rfind("OpenService failed - ", 0), 0u) << missing;
    EXPECT_NE(missing.find(" (0x424)\n"), std::string::npos) << missing;
}

}  // namespace
