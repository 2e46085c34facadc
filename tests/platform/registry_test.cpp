#include "platform/win32.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <string>
#include <vector>

namespace {

LSTATUS Set(HKEY key, const char* name, const std::string& text)
{
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
}

LSTATUS Query(HKEY key, const char* name, std::string& text)
{
    char buffer[256] = {};
    DWORD size = sizeof buffer;
    LSTATUS status = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
    text = buffer;
    return status;
}

// A write cut short leaves the old file and nothing else; what a writer
// killed half-way leaves never blocks the next write, which clears it away.
TEST(Registry, FailedAndKilledWritesLeaveTheOldFile)
{
    kpltest::TempMachine dir;
    const std::string file = dir.File("machine.reg");
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KplAtomic", 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
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
    std::string text;
    EXPECT_EQ(Query(key, "New", text), ERROR_FILE_NOT_FOUND);

    for (const char* leftOver : {".machine.reg.tmp-Ab12Cd", "machine.reg.tmp", ".machine.reg.999999999.tmp"})
        kpltest::WriteFile(dir.File(leftOver), "half");
    EXPECT_EQ(Set(key, "New", "written"), ERROR_SUCCESS);
    EXPECT_EQ(kpltest::DirectoryEntries(dir.Path()), std::vector<std::string>{"machine.reg"});
    EXPECT_EQ(Query(key, "Old", text), ERROR_SUCCESS);
    EXPECT_EQ(text, "value");
    RegCloseKey(key);
}

}  // namespace
