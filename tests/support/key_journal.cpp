#include "tests/support/key_journal.h"

#include "tests/support/test_support.h"

#include <cstdio>
#include <ctime>
#include <sstream>

namespace kpltest {

std::vector<JournalEntry> ReadKeyJournal(const std::string& path)
{
    std::vector<JournalEntry> entries;
    std::istringstream lines(ReadFile(path));
    for (std::string line; std::getline(lines, line);) {
        JournalEntry entry;
        std::tm t{};
        char what[16], desktop[32];
        unsigned ms = 0;
        if (std::sscanf(line.c_str(), "%d-%d-%dT%d:%d:%d.%uZ %15s desktop=%31s %*[a-z]=%x %*[a-z]=%x flags=%x",
                        &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min, &t.tm_sec, &ms, what, desktop,
                        &entry.vk, &entry.scan, &entry.flags) < 11)
            continue;
        t.tm_year -= 1900;
        t.tm_mon -= 1;
        entry.ms = static_cast<long long>(timegm(&t)) * 1000 + ms;
        entry.hotKey = std::string(what) == "hotkey";
        entry.desktop = desktop;
        entries.push_back(entry);
    }
    return entries;
}

}  // namespace kpltest
