#include "platform/linux/systemd_unit.h"

#include "platform/linux/winsvc.h"

#include <grp.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <set>
#include <string_view>
#include <vector>

namespace {

// Windows services whose work this process does itself on Linux.
constexpr std::string_view InProcessServices[] = {"pgw"};

std::string Lower(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

bool UnitExists(const std::string& unit, const std::string& unitDir)
{
    for (const std::string& dir : {unitDir, std::string("/etc/systemd/system"), std::string("/run/systemd/system"),
                                   std::string("/lib/systemd/system"), std::string("/usr/lib/systemd/system")})
        if (access((dir + "/" + unit).c_str(), F_OK) == 0)
            return true;
    return false;
}

// A value as a unit file reads it: '%' starts a specifier, blanks separate words.
std::string Quoted(std::string_view text)
{
    std::string escaped;
    bool quote = false;
    for (char c : text) {
        if (c == '%')
            escaped += '%';
        if (c == '"' || c == '\\')
            escaped += '\\';
        quote |= c == ' ' || c == '\t' || c == '"' || c == '\\' || c == '\'';
        escaped += c;
    }
    return quote ? "\"" + escaped + "\"" : escaped;
}

// systemd's name for the device unit of a path ("/dev/ttyUSB0" is dev-ttyUSB0.device).
std::string DeviceUnit(std::string_view path)
{
    std::string name;
    bool slash = true;
    for (char c : path) {
        if (c == '/') {
            slash = true;
            continue;
        }
        if (slash && !name.empty())
            name += '-';
        bool plain = std::isalnum(static_cast<unsigned char>(c)) || c == ':' || c == '_' || (c == '.' && !slash);
        if (plain) {
            name += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(c));
            name += hex;
        }
        slash = false;
    }
    return name + ".device";
}

bool Under(std::string_view path, std::string_view directory)
{
    return path.size() > directory.size() && path.substr(0, directory.size()) == directory &&
           path[directory.size()] == '/';
}

std::string Parent(const std::string& path)
{
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

std::string Unquoted(std::string path)
{
    if (path.size() >= 2 && path.front() == '"' && path.back() == '"')
        path = path.substr(1, path.size() - 2);
    return path;
}

}  // namespace

std::string ServiceUnitText(const ServiceEntry& entry, const HostSettings& settings, const std::string& registryPath,
                            const std::string& unitDir)
{
    std::string unit = "# Written by \"" + Unquoted(entry.binaryPath) + " -install\" for the service " + entry.name +
                       ".\n";
    std::string wanted, notes;
    for (const char* name = entry.dependencies; name && *name; name += std::string_view(name).size() + 1) {
        const std::string lower = Lower(name);
        bool inProcess = false;
        for (std::string_view own : InProcessServices)
            inProcess |= lower == own;
        if (inProcess)
            notes += std::string("#   ") + name + ": its driver is part of the service's process on Linux\n";
        else if (UnitExists(lower + ".service", unitDir))
            wanted += (wanted.empty() ? "" : " ") + lower + ".service";
        else
            notes += std::string("#   ") + name + ": no such service on Linux\n";
    }
    if (!notes.empty())
        unit += "# Dependencies of the Windows service left out:\n" + notes;
    if (entry.serviceType & SERVICE_INTERACTIVE_PROCESS)
        unit += "# Interactive: on Linux a service has no desktop to interact with.\n";
    if (registryPath.empty())
        unit += "# No registry file was in force at installation: the service runs on an empty registry.\n";

    // Devices: the mapped ports and the UARTs that unmapped COMn names stand for.
    std::vector<std::string> devices;
    std::string deviceUnits;
    for (const auto& port : settings.Ports) {
        if (port.device.empty())
            continue;
        devices.push_back(port.device);
        if (Under(port.device, "/dev") && !Under(port.device, "/dev/pts"))
            deviceUnits += (deviceUnits.empty() ? "" : " ") + DeviceUnit(port.device);
    }

    unit += "\n[Unit]\nDescription=" + entry.displayName + "\n";
    if (!wanted.empty())
        unit += "Requires=" + wanted + "\nAfter=" + wanted + "\n";
    if (!deviceUnits.empty())
        unit += "Wants=" + deviceUnits + "\nAfter=" + deviceUnits + "\n";

    unit += "\n[Service]\nType=notify\nNotifyAccess=main\nExecStart=" + entry.binaryPath + "\n";
    if (!registryPath.empty())
        unit += "Environment=" + Quoted("KPL_REGISTRY=" + registryPath) + "\n";
    unit += "Restart=on-failure\nSyslogIdentifier=" + entry.name + "\n";

    // Files it writes; everything else it may only read.
    std::set<std::string> writable;
    std::string directories;
    std::vector<std::string> touched = {registryPath, Unquoted(entry.binaryPath), settings.RuntimeDir};
    if (settings.RuntimeDir == "/run") {
        writable.insert("/run");
    } else if (Under(settings.RuntimeDir, "/run") && Parent(settings.RuntimeDir) == "/run") {
        directories += "RuntimeDirectory=" + settings.RuntimeDir.substr(5) + "\nRuntimeDirectoryPreserve=yes\n";
    } else {
        writable.insert("-" + settings.RuntimeDir);
    }
    std::set<std::string> logDirectories;
    for (const std::string& file : {settings.EventLogFile, settings.KeyJournal}) {
        if (file.empty())
            continue;
        std::string dir = Parent(file);
        touched.push_back(dir);
        if (Under(dir, "/var/log"))
            logDirectories.insert(dir.substr(9));
        else
            writable.insert("-" + dir);
    }
    for (const auto& dir : logDirectories)
        directories += "LogsDirectory=" + dir + "\n";
    touched.insert(touched.end(), devices.begin(), devices.end());
    bool inHome = false, inTmp = settings.KeyOutput == "x11";
    for (const auto& path : touched) {
        inHome |= Under(path, "/home") || Under(path, "/root") || Under(path, "/run/user");
        inTmp |= Under(path, "/tmp") || Under(path, "/var/tmp");
    }

    unit += directories;
    for (const auto& path : writable)
        unit += "ReadWritePaths=" + Quoted(path) + "\n";
    unit += "ProtectSystem=strict\n";
    unit += inHome ? "ProtectHome=read-only\n" : "ProtectHome=yes\n";
    if (!inTmp)
        unit += "PrivateTmp=yes\n";
    else if (settings.KeyOutput == "x11")
        unit += "# Keys go to an X display: its socket lies under /tmp.\n";
    unit += "DevicePolicy=closed\nDeviceAllow=char-ttyS rw\n";
    for (const auto& device : devices)
        unit += "DeviceAllow=" + Quoted(device) + " rw\n";
    // The virtual keyboard; its group is made by the package, with a udev rule.
    if (settings.KeyOutput == "uinput") {
        unit += "DeviceAllow=/dev/uinput rw\n";
        if (getgrnam(UinputGroup) != nullptr)
            unit += std::string("SupplementaryGroups=") + UinputGroup + "\n";
    }
    // Raising the threads' priority is the one privilege it keeps.
    unit += "CapabilityBoundingSet=CAP_SYS_NICE\n"
            "NoNewPrivileges=yes\n"
            "UMask=0077\n"
            "PrivateNetwork=yes\n"
            "IPAddressDeny=any\n"
            "RestrictAddressFamilies=AF_UNIX\n"
            "PrivateMounts=yes\n"
            "ProtectKernelTunables=yes\n"
            "ProtectKernelModules=yes\n"
            "ProtectKernelLogs=yes\n"
            "ProtectControlGroups=yes\n"
            "ProtectClock=yes\n"
            "ProtectHostname=yes\n"
            "ProtectProc=invisible\n"
            "ProcSubset=pid\n"
            "RestrictNamespaces=yes\n"
            "RestrictRealtime=yes\n"
            "RestrictSUIDSGID=yes\n"
            "LockPersonality=yes\n"
            "MemoryDenyWriteExecute=yes\n"
            "SystemCallArchitectures=native\n"
            "SystemCallFilter=@system-service\n"
            "SystemCallFilter=~@privileged\n"
            "SystemCallErrorNumber=EPERM\n";
    if (entry.startType == SERVICE_AUTO_START)
        unit += "\n[Install]\nWantedBy=multi-user.target\n";
    return unit;
}
