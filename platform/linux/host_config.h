// Settings of the Linux layer itself, kept in the registry under
// HKEY_LOCAL_MACHINE\SOFTWARE\KplHost.
#pragma once

#include "platform/linux/windef.h"

#include <string>

// False, leaving value alone, when the value is missing or not a REG_SZ.
bool ReadHostString(const char* valueName, std::string& value);
// False, leaving value alone, when the value is missing or not a REG_DWORD.
bool ReadHostDword(const char* valueName, DWORD& value);
