#include "bench/bench_support.h"


namespace kplbench {

std::string MachineRegistry(const TempDir& dir, const std::string& portPath, const std::string& more)
{
    return "Windows Registry Editor Version 5.00\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost]\r\n"
           "\"EventLogFile\"=\"" + dir.File("events.log") + "\"\r\n"
           "\"KeyJournal\"=\"" + dir.File("keys.journal") + "\"\r\n"
           "\"RuntimeDir\"=\"" + dir.Path() + "\"\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost\\Ports]\r\n"
           "\"COM3\"=\"" + portPath + "\"\r\n\r\n"
           "[HKEY_CURRENT_USER\\Control Panel\\Keyboard]\r\n"
           "\"KeyboardDelay\"=\"1\"\r\n\"KeyboardSpeed\"=\"31\"\r\n\r\n" + more;
}

}  // namespace kplbench
