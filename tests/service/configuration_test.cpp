// Configuration read through the registry API itself, so the same cases run
// against the Linux layer and, under wine, against a real registry.
#include "service/service.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* Key = "SYSTEM\\CurrentControlSet\\Services\\KPL";

struct Value {
    const char* name;
    DWORD type;
    std::vector<BYTE> data;
};

Value Dword(const char* name, DWORD number)
{
    Value v{name, REG_DWORD, std::vector<BYTE>(4)};
    std::memcpy(v.data.data(), &number, 4);
    return v;
}

Value String(const char* name, const std::string& text)
{
    return {name, REG_SZ, std::vector<BYTE>(text.c_str(), text.c_str() + text.size() + 1)};
}

class Configuration : public ::testing::Test {
protected:
    kpltest::TempDir dir;
    kpltest::ScopedEnv registry{"KPL_REGISTRY", dir.File("registry.reg")};

    void SetUp() override { RegDeleteKeyA(HKEY_LOCAL_MACHINE, Key); }
    void TearDown() override { RegDeleteKeyA(HKEY_LOCAL_MACHINE, Key); }

    void Store(const std::vector<Value>& values)
    {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, Key, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        for (const auto& v : values)
            ASSERT_EQ(RegSetValueExA(key, v.name, 0, v.type, v.data.data(), static_cast<DWORD>(v.data.size())),
                      ERROR_SUCCESS);
        RegCloseKey(key);
    }
};

void ExpectDefaults(const ServiceConfigRecord& c)
{
    EXPECT_STREQ(c.PortName, "COM3");
    EXPECT_EQ(c.BaudRate, 19200u);
    EXPECT_EQ(c.ByteSize, 8);
    EXPECT_EQ(c.Parity, 0);
    EXPECT_EQ(c.StopBits, 0);
    EXPECT_EQ(c.DoLedBlinking, 1u);
    EXPECT_EQ(c.ErrorRetries, 3u);
    EXPECT_EQ(c.ResponseTimeout, 1000u);
    EXPECT_EQ(c.UseStdKeyboardSpeed, 0u);
    EXPECT_EQ(c.UseOptKeyCycleTime, 0u);
}

TEST_F(Configuration, NoKeyGivesDefaultsAndTheOpenError)
{
    std::strcpy(ServiceConfig.PortName, "stale");
    EXPECT_EQ(ReadConfiguration(), ERROR_FILE_NOT_FOUND);
    ExpectDefaults(ServiceConfig);
}

TEST_F(Configuration, EmptyKeyGivesDefaults)
{
    Store({});
    EXPECT_EQ(ReadConfiguration(), ERROR_SUCCESS);
    ExpectDefaults(ServiceConfig);
}

TEST_F(Configuration, EveryValueIsTaken)
{
    Store({String("PortName", "COM12"), Dword("BaudRate", 115200), Dword("ByteSize", 7), Dword("Parity", 2),
           Dword("StopBits", 2), Dword("DoLedBlinking", 0), Dword("ErrorRetries", 0), Dword("ResponseTimeout", 250),
           Dword("UseStdKeyboardSpeed", 1), Dword("UseOptKeyCycleTime", 5)});
    EXPECT_EQ(ReadConfiguration(), ERROR_SUCCESS);
    const auto& c = ServiceConfig;
    EXPECT_STREQ(c.PortName, "COM12");
    EXPECT_EQ(c.BaudRate, 115200u);
    EXPECT_EQ(c.ByteSize, 7);
    EXPECT_EQ(c.Parity, 2);
    EXPECT_EQ(c.StopBits, 2);
    EXPECT_EQ(c.DoLedBlinking, 0u);
    EXPECT_EQ(c.ErrorRetries, 0u);
    EXPECT_EQ(c.ResponseTimeout, 250u);
    EXPECT_EQ(c.UseStdKeyboardSpeed, 1u);
    EXPECT_EQ(c.UseOptKeyCycleTime, 5u);
}

TEST_F(Configuration, MalformedValuesKeepTheirDefaults)
{
    Value big{"BaudRate", REG_DWORD, std::vector<BYTE>(8, 1)};
    Value bigEndian{"ErrorRetries", REG_DWORD_BIG_ENDIAN, {0, 0, 0, 7}};
    Value binary{"ResponseTimeout", REG_BINARY, {1, 0, 0, 0}};
    Store({String("PortName", "COM1234567"),  // ten characters: 11 bytes with the NUL
           big, bigEndian, binary, String("DoLedBlinking", "0"), Value{"Parity", REG_SZ, {'2', 0}}});
    ReadConfiguration();
    ExpectDefaults(ServiceConfig);
}

TEST_F(Configuration, PortNameOfNineCharactersFits)
{
    Store({String("PortName", "COM123456")});
    ReadConfiguration();
    EXPECT_STREQ(ServiceConfig.PortName, "COM123456");
}

TEST_F(Configuration, PortNameStopsAtItsFirstNul)
{
    Store({Value{"PortName", REG_SZ, {'C', 'O', 'M', '5', 0, 'X', 'Y', 0}}});
    ReadConfiguration();
    EXPECT_STREQ(ServiceConfig.PortName, "COM5");
}

TEST_F(Configuration, ByteFieldsKeepTheLowestByte)
{
    Store({Dword("ByteSize", 300), Dword("Parity", 0x104), Dword("StopBits", 0xFF02)});
    ReadConfiguration();
    EXPECT_EQ(ServiceConfig.ByteSize, 44);
    EXPECT_EQ(ServiceConfig.Parity, 4);
    EXPECT_EQ(ServiceConfig.StopBits, 2);
}

TEST_F(Configuration, EveryRunStartsFromTheDefaults)
{
    Store({Dword("BaudRate", 9600)});
    ReadConfiguration();
    EXPECT_EQ(ServiceConfig.BaudRate, 9600u);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, Key);
    ReadConfiguration();
    EXPECT_EQ(ServiceConfig.BaudRate, 19200u);
}

}  // namespace
