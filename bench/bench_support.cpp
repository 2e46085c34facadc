#include "bench/bench_support.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace kplbench {

TempDir::TempDir()
{
    std::random_device seed;
    std::mt19937_64 random(seed());
    auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate = base / ("kplbench-" + std::to_string(random()));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate.string();
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

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

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteWholeFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

}  // namespace kplbench
