#include "service/configuration.h"

#include <cstring>

ServiceConfigRecord ServiceConfig;

namespace {

constexpr const char* ConfigurationKey = "SYSTEM\\CurrentControlSet\\Services\\KPL";

bool ReadDword(HKEY key, const char* name, DWORD& value)
{
    DWORD type = 0;
    DWORD data = 0;
    DWORD size = sizeof data;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        return false;
    value = data;
    return true;
}

void ReadByte(HKEY key, const char* name, BYTE& value)
{
    DWORD number;
    if (ReadDword(key, name, number))
        value = static_cast<BYTE>(number & 0xFF);
}

}  // namespace

LONG ReadConfiguration()
{
    ServiceConfigRecord& c = ServiceConfig;
    std::memset(&c, 0, sizeof c);
    std::strcpy(c.PortName, "COM3");
    c.BaudRate = 19200;
    c.ByteSize = 8;
    c.Parity = 0;
    c.StopBits = 0;
    c.DoLedBlinking = 1;
    c.ErrorRetries = 3;
    c.ResponseTimeout = 1000;
    c.UseStdKeyboardSpeed = 0;
    c.UseOptKeyCycleTime = 0;

    HKEY key;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, ConfigurationKey, 0, KEY_QUERY_VALUE, &key);
    if (result != ERROR_SUCCESS)
        return result;

    char name[260];
    DWORD type = 0;
    DWORD size = sizeof name;
    if (RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size) == ERROR_SUCCESS &&
        type == REG_SZ && size <= 10) {
        std::size_t length = strnlen(name, size);
        std::memcpy(c.PortName, name, length);
        c.PortName[length] = '\0';
    }
    ReadDword(key, "BaudRate", c.BaudRate);
    ReadByte(key, "ByteSize", c.ByteSize);
    ReadByte(key, "Parity", c.Parity);
    ReadByte(key, "StopBits", c.StopBits);
    ReadDword(key, "DoLedBlinking", c.DoLedBlinking);
    ReadDword(key, "ErrorRetries", c.ErrorRetries);
    ReadDword(key, "ResponseTimeout", c.ResponseTimeout);
    ReadDword(key, "UseStdKeyboardSpeed", c.UseStdKeyboardSpeed);
    ReadDword(key, "UseOptKeyCycleTime", c.UseOptKeyCycleTime);
    return RegCloseKey(key);
}
