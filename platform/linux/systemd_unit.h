// The systemd unit that stands for a Windows service entry: what the service
// needs and nothing more (its serial devices, /dev/uinput, its registry file, its log and
// runtime files, the notify socket, raising its threads' priority), under a
// sandbox a modern unit would have.
#pragma once

#include "platform/linux/host_settings.h"
#include "platform/linux/windef.h"

#include <string>

struct ServiceEntry {
    std::string name;
    std::string displayName;
    DWORD serviceType = 0;
    DWORD startType = 0;
    std::string binaryPath;  // as given, possibly quoted
    const char* dependencies = nullptr;  // NUL-separated, closed by an empty name
};

// The group that the package's udev rule gives /dev/uinput to.
inline constexpr const char* UinputGroup = "uinput";

// `registryPath`: the registry file in force (absolute), empty when none is;
// `unitDir`: where units are looked for besides systemd's own directories.
std::string ServiceUnitText(const ServiceEntry& entry, const HostSettings& settings, const std::string& registryPath,
                            const std::string& unitDir);
