#include "platform/linux/host_config.h"

#include "platform/linux/windows.h"

#include <vector>

namespace {

bool ReadHostValue(const char* valueName, DWORD wantedType, std::vector<BYTE>& data)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KplHost", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = REG_NONE;
    LSTATUS status = ERROR_MORE_DATA;
    data.resize(256);
    // Another thread may make the value longer between two tries.
    for (int attempt = 0; attempt < 8 && status == ERROR_MORE_DATA; ++attempt) {
        DWORD size = static_cast<DWORD>(data.size());
        status = RegQueryValueExA(key, valueName, nullptr, &type, data.data(), &size);
        data.resize(size);
    }
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == wantedType;
}

}  // namespace

bool ReadHostString(const char* valueName, std::string& value)
{
    std::vector<BYTE> data;
    if (!ReadHostValue(valueName, REG_SZ, data))
        return false;
    std::string text(data.begin(), data.end());
    value = text.substr(0, text.find('\0'));
    return true;
}

bool ReadHostDword(const char* valueName, DWORD& value)
{
    std::vector<BYTE> data;
    if (!ReadHostValue(valueName, REG_DWORD, data) || data.size() != 4)
        return false;
    value = data[0] | data[1] << 8 | data[2] << 16 | static_cast<DWORD>(data[3]) << 24;
    return true;
}
