// Configuration read through the registry API itself, so the same cases run
// against the Linux layer and, under wine, against a real registry.
#include "service/configuration.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr const char* Key = "SYSTEM\\CurrentControlSet\\Services\\KPL";

struct Value { const char* name; DWORD type; std::vector<BYTE> data; };

Value Dword(const char* name, DWORD n)
{
    return {name, REG_DWORD, {BYTE(n), BYTE(n >> 8), BYTE(n >> 16), BYTE(n >> 24)}};
}

Value String(const char* name, const std::string& text)
{
    return {name, REG_SZ, std::vector<BYTE>(text.c_str(), text.c_str() + text.size() + 1)};
}

// Port, baud rate, byte size, parity, stop bits, LED blinking, error retries,
// response time-out, standard keyboard speed, key cycle time.
std::string Shown(const ServiceConfigRecord& c)
{
    std::string s = c.PortName;
    for (DWORD n : {c.BaudRate, DWORD(c.ByteSize), DWORD(c.Parity), DWORD(c.StopBits), c.DoLedBlinking,
                    c.ErrorRetries, c.ResponseTimeout, c.UseStdKeyboardSpeed, c.UseOptKeyCycleTime})
        s += " " + std::to_string(n);
    return s;
}

const std::string Defaults = "COM3 19200 8 0 0 1 3 1000 0 0";

TEST(Configuration, ValuesTakenOrLeftAtTheirDefaults)
{
    kpltest::TempMachine machine;
    struct Case { const char* what; bool key; std::vector<Value> values; std::string expected; } cases[] = {
        {"every value", true,
         {String("PortName", "COM12"), Dword("BaudRate", 115200), Dword("ByteSize", 7), Dword("Parity", 2),
          Dword("StopBits", 2), Dword("DoLedBlinking", 0), Dword("ErrorRetries", 0), Dword("ResponseTimeout", 250),
          Dword("UseStdKeyboardSpeed", 1), Dword("UseOptKeyCycleTime", 5)},
         "COM12 115200 7 2 2 0 0 250 1 5"},
        // Every run starts from the defaults, not from the last run's values.
        {"no key", false, {}, Defaults}, {"empty key", true, {}, Defaults},
        // Ten characters need 11 bytes with the NUL: too long for the field.
        {"malformed", true,
         {String("PortName", "COM1234567"), Value{"BaudRate", REG_DWORD, std::vector<BYTE>(8, 1)},
          Value{"ErrorRetries", REG_DWORD_BIG_ENDIAN, {0, 0, 0, 7}}, Value{"ResponseTimeout", REG_BINARY, {1, 0, 0, 0}},
          String("DoLedBlinking", "0"), Value{"Parity", REG_SZ, {'2', 0}}},
         Defaults},
        {"nine characters fit", true, {String("PortName", "COM123456")}, "COM123456 19200 8 0 0 1 3 1000 0 0"},
        {"first NUL ends the name", true, {Value{"PortName", REG_SZ, {'C', 'O', 'M', '5', 0, 'X', 'Y', 0}}},
         "COM5 19200 8 0 0 1 3 1000 0 0"},
        {"byte fields keep the lowest byte", true,
         {Dword("ByteSize", 300), Dword("Parity", 0x104), Dword("StopBits", 0xFF02)}, "COM3 19200 44 4 2 1 3 1000 0 0"},
    };
    for (const auto& c : cases) {
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, Key);
        if (c.key) {
            HKEY key;
            ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, Key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                      ERROR_SUCCESS);
            for (const auto& v : c.values)
                ASSERT_EQ(RegSetValueExA(key, v.name, 0, v.type, v.data.data(), static_cast<DWORD>(v.data.size())),
                          ERROR_SUCCESS);
            RegCloseKey(key);
        }
        EXPECT_EQ(ReadConfiguration(), c.key ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND) << c.what;
        EXPECT_EQ(Shown(ServiceConfig), c.expected) << c.what;
    }
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, Key);
}

}  // namespace
