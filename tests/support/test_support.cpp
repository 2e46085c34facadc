#include "tests/support/test_support.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace kpltest {

TempDir::TempDir()
{
    std::random_device seed;
    do  // a name taken is tried again; a directory that cannot be made throws
        path_ = (std::filesystem::temp_directory_path() / ("kpltest-" + std::to_string(seed()))).string();
    while (!std::filesystem::create_directory(path_));
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::size_t CountOf(const std::string& text, const std::string& needle)
{
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++count;
    return count;
}

std::vector<std::string> DirectoryEntries(const std::string& path)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void TempMachine::WriteRegistry(const Values& host, const Values& ports, const std::string& more) const
{
    std::string text = "Windows Registry Editor Version 5.00\n\n";
    // The suites' machines have no keyboard to type on, unless a test gives one.
    Values hostValues = host;
    if (std::none_of(host.begin(), host.end(), [](const auto& value) { return value.first == "KeyOutput"; }))
        hostValues.emplace_back("KeyOutput", "journal");
    for (const auto& [key, values] : {std::pair<const char*, const Values*>{"", &hostValues}, {"\\Ports", &ports}}) {
        if (!values->empty())
            text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost" + std::string(key) + "]\n";
        for (const auto& [name, value] : *values)
            text += "\"" + name + "\"=\"" + value + "\"\n";
    }
    WriteFile(File("machine.reg"), text + more);
}

}  // namespace kpltest
