// The Linux layer's own settings, under HKEY_LOCAL_MACHINE\SOFTWARE\KplHost
// of the registry file: read here, in one place, and read again only when the
// file changed.
#pragma once

#include "platform/linux/reg_file.h"

#include <cstdint>
#include <string>
#include <vector>

struct PortMapping {
    std::string name;    // "COM3", as written
    std::string device;  // the device path
    std::string fault;   // why the mapping cannot be used; empty when it can
};

struct HostSettings {
    std::string EventLogFile;  // empty: no event log file
    std::string KeyJournal;    // empty: no key journal
    std::string InputDesktop = "Default";
    std::string KeyOutput = "uinput";  // "uinput", "x11" or "journal"
    std::string Display;               // for "x11"; empty: $DISPLAY
    std::string RuntimeDir = "/run";
    std::string ServiceUnitDir = "/etc/systemd/system";
    std::vector<PortMapping> Ports;
};

// The settings a registry tree holds; a value of the wrong type leaves its default.
HostSettings ReadHostSettings(const kplreg::Tree& tree);

// The device behind a port name: its mapping under Ports, else COMn is
// /dev/ttyS<n-1>. A name is never opened as another device: a mapping that
// cannot be used is ERROR_BAD_PATHNAME, a name that is no port
// ERROR_FILE_NOT_FOUND, each with the reason in `fault`.
DWORD PortDevicePath(const HostSettings& settings, const char* portName, std::string& path, std::string& fault);

// The file of the volatile keys (HKEY_LOCAL_MACHINE\HARDWARE and every key
// made volatile), under RuntimeDir.
std::string VolatileRegistryPath(const HostSettings& settings);

// The settings in force (the registry's file is read again if it changed).
void CurrentHostSettings(HostSettings& settings);

// Changes whenever the registry's files changed, so that whoever keeps
// something read from the registry knows when to read it again. A stat of
// each file; nothing allocated, nothing parsed while they stay as they are.
std::uint64_t RegistryVersion();

// ERROR_SUCCESS when the registry file can be used; otherwise the reason,
// which was told on standard error (file, line, what is wrong).
DWORD RegistryStatus();
