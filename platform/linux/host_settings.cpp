#include "platform/linux/host_settings.h"

#include "platform/linux/winerror.h"
#include "platform/linux/winreg.h"

#include <cctype>
#include <cstdlib>
#include <strings.h>

namespace {

const kplreg::Key* HostKey(const kplreg::Tree& tree)
{
    const kplreg::Key* key = tree.root.Find("HKEY_LOCAL_MACHINE");
    key = key ? key->Find("SOFTWARE") : nullptr;
    return key ? key->Find("KplHost") : nullptr;
}

std::string Text(const kplreg::Value& value)
{
    std::string text(value.data.begin(), value.data.end());
    return text.substr(0, text.find('\0'));
}

void ReadString(const kplreg::Key& key, const char* name, std::string& setting, bool emptyMeansDefault)
{
    const kplreg::Value* value = key.FindValue(name);
    if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ))
        return;
    std::string text = Text(*value);
    if (!text.empty() || !emptyMeansDefault)
        setting = text;
}

PortMapping Mapping(const kplreg::Value& value)
{
    PortMapping port{value.name, "", ""};
    if (value.type != REG_SZ && value.type != REG_EXPAND_SZ) {
        port.fault = "the mapping is not a string (REG_SZ)";
        return port;
    }
    std::string text(value.data.begin(), value.data.end());
    while (!text.empty() && text.back() == '\0')
        text.pop_back();
    if (text.empty())
        port.fault = "the mapping names no device";
    else if (text.find('\0') != std::string::npos)
        port.fault = "the mapping holds a NUL character";
    else
        port.device = text;
    return port;
}

}  // namespace

HostSettings ReadHostSettings(const kplreg::Tree& tree)
{
    HostSettings settings;
    const kplreg::Key* host = HostKey(tree);
    if (!host)
        return settings;
    ReadString(*host, "EventLogFile", settings.EventLogFile, false);
    ReadString(*host, "KeyJournal", settings.KeyJournal, false);
    ReadString(*host, "InputDesktop", settings.InputDesktop, true);
    ReadString(*host, "KeyOutput", settings.KeyOutput, true);
    ReadString(*host, "Display", settings.Display, true);
    ReadString(*host, "RuntimeDir", settings.RuntimeDir, true);
    ReadString(*host, "ServiceUnitDir", settings.ServiceUnitDir, true);
    if (const kplreg::Key* ports = host->Find("Ports"))
        for (const auto& entry : ports->values)
            settings.Ports.push_back(Mapping(entry.second));
    return settings;
}

DWORD PortDevicePath(const HostSettings& settings, const char* portName, std::string& path, std::string& fault)
{
    for (const auto& port : settings.Ports) {
        if (strcasecmp(port.name.c_str(), portName) != 0)
            continue;
        path = port.device;
        fault = port.fault;
        return fault.empty() ? ERROR_SUCCESS : ERROR_BAD_PATHNAME;
    }
    const char* digits = portName + 3;
    char* end = nullptr;
    long number = strncasecmp(portName, "COM", 3) == 0 && std::isdigit(static_cast<unsigned char>(*digits))
                      ? std::strtol(digits, &end, 10)
                      : 0;
    if (number < 1 || *end != '\0') {
        fault = "not a port name, and not mapped under Ports";
        return ERROR_FILE_NOT_FOUND;
    }
    path = "/dev/ttyS" + std::to_string(number - 1);
    return ERROR_SUCCESS;
}

std::string VolatileRegistryPath(const HostSettings& settings)
{
    return settings.RuntimeDir + "/kpl-volatile.reg";
}
