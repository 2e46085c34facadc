// The driver requests where no driver is present: the same cases on Linux
// (the model told to be absent) and under wine (no such device).
#include "driver/panel_driver.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

namespace {

TEST(PanelDriverCodes, AreBufferedRequestsOfDeviceTypeFive)
{
    const struct {
        DWORD code;
        DWORD function;
    } codes[] = {
        {IOCTL_PGW_TRANSLATE_KEYS, 0x803},
        {IOCTL_PGW_SET_REPEAT_CYCLES, 0x845},
        {IOCTL_PGW_SET_LOCK_STATES, 0x846},
    };
    for (const auto& c : codes)
        EXPECT_EQ(c.code, static_cast<DWORD>(CTL_CODE(5, c.function, METHOD_BUFFERED, FILE_ANY_ACCESS)))
            << std::hex << c.function;
}

class AbsentDriver : public ::testing::Test {
protected:
    kpltest::TempDir dir;
    kpltest::ScopedEnv registry{"KPL_REGISTRY", dir.File("machine.reg")};

    void SetUp() override
    {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KplHost\\Pgw", 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        const DWORD absent = 0;
        ASSERT_EQ(RegSetValueExA(key, "Present", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&absent), sizeof absent),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    void TearDown() override { RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KplHost\\Pgw"); }
};

TEST_F(AbsentDriver, OpenFailsAndEveryRequestFailsCleanly)
{
    EXPECT_FALSE(OpenPanelDriver());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    KeyRequest request{};
    KeyReply reply{};
    EXPECT_FALSE(TranslateKeys(&request, &reply));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetRepeatCycles(10, 2));
    EXPECT_FALSE(SetLockStates(LockNumLock));
    // Closing what is not open is harmless, twice.
    ClosePanelDriver();
    ClosePanelDriver();
}

}  // namespace
