#include "tests/keyboard/simulated_machine.h"

#include "service/log.h"

#include <cstdio>
#include <sstream>

void SimulatedMachine::Configure(const std::string& more)
{
    kpltest::WriteFile(dir.File("machine.reg"), "Windows Registry Editor Version 5.00\r\n\r\n"
                                                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost]\r\n"
                                                "\"KeyJournal\"=\"" +
                                                    JournalPath() + "\"\r\n" + more);
    ResetSimulatedUser();
    std::remove(JournalPath().c_str());
    DebugMode = 0;
}

void SimulatedMachine::TearDown()
{
    DebugMode = 0;
    ResetSimulatedUser();
}

std::vector<std::string> SimulatedMachine::Journal() const
{
    constexpr size_t StampLength = 25;  // "2024-01-31T12:34:56.789Z "
    std::vector<std::string> lines;
    std::istringstream in(kpltest::ReadFile(JournalPath()));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line.size() > StampLength ? line.substr(StampLength) : line);
    return lines;
}

std::vector<unsigned> SimulatedMachine::KeyDowns() const
{
    std::vector<unsigned> keys;
    for (const std::string& line : Journal()) {
        unsigned vk = 0, scan = 0, flags = 0;
        char desktop[32];
        if (std::sscanf(line.c_str(), "keybd_event desktop=%31s vk=%x scan=%x flags=%x", desktop, &vk, &scan,
                        &flags) == 4 &&
            !(flags & KEYEVENTF_KEYUP))
            keys.push_back(vk);
    }
    return keys;
}

std::string KeyLine(const char* desktop, unsigned vk, unsigned scan, unsigned flags)
{
    char line[128];
    std::snprintf(line, sizeof line, "keybd_event desktop=%s vk=%02x scan=%02x flags=%x", desktop, vk, scan, flags);
    return line;
}

std::string HotKeyLine(const char* desktop)
{
    return std::string("hotkey desktop=") + desktop + " wparam=0 lparam=002e0003";
}

std::string ObjectName(HANDLE object)
{
    char name[64] = "";
    DWORD needed = 0;
    if (!GetUserObjectInformationA(object, UOI_NAME, name, sizeof name, &needed))
        return "<error " + std::to_string(GetLastError()) + ">";
    return name;
}
