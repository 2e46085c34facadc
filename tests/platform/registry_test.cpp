#include "platform/win32.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <string>
#include <vector>

namespace {

std::string Error(LSTATUS status)
{
    return "error " + std::to_string(status);
}

LSTATUS Set(HKEY key, const std::string& name, const std::string& text)
{
    return RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
}

std::string Query(HKEY key, const std::string& name)
{
    char buffer[256] = {};
    DWORD size = sizeof buffer;
    LSTATUS status = RegQueryValueExA(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
    return status == ERROR_SUCCESS ? std::string(buffer) : Error(status);
}

HKEY Create(const char* path, DWORD options = REG_OPTION_NON_VOLATILE)
{
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, options, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS) << path;
    return key;
}

class Registry : public ::testing::Test {
protected:
    kpltest::TempMachine dir;
    std::string file = dir.File("machine.reg");
};

// A write cut short leaves the old file and nothing else; what a writer
// killed half-way leaves never blocks the next write, which clears it away.
TEST_F(Registry, FailedAndKilledWritesLeaveTheOldFile)
{
    HKEY key = Create("SOFTWARE\\KplAtomic");
    ASSERT_EQ(Set(key, "Old", "value"), ERROR_SUCCESS);
    const std::string before = kpltest::ReadFile(file);
    // A file size limit stops even root half-way through the new file.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = before.size() + 100;
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    LSTATUS status = Set(key, "New", std::string(20000, 'Z'));
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_NE(status, ERROR_SUCCESS);
    EXPECT_EQ(kpltest::ReadFile(file), before);
    EXPECT_EQ(kpltest::DirectoryEntries(dir.Path()), std::vector<std::string>{"machine.reg"});
    EXPECT_EQ(Query(key, "New"), Error(ERROR_FILE_NOT_FOUND));

    for (const char* leftOver : {".machine.reg.tmp-Ab12Cd", "machine.reg.tmp", ".machine.reg.999999999.tmp"})
        kpltest::WriteFile(dir.File(leftOver), "half");
    EXPECT_EQ(Set(key, "New", "written"), ERROR_SUCCESS);
    EXPECT_EQ(kpltest::DirectoryEntries(dir.Path()), std::vector<std::string>{"machine.reg"});
    EXPECT_EQ(Query(key, "Old"), "value");
    RegCloseKey(key);
}

}  // namespace
