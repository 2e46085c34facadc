// The Linux build's key journal, read back: keystrokes
// ("2026-12-06T22:13:11.123Z keybd_event desktop=D vk=41 scan=1e flags=0")
// and secure attention hot keys ("... hotkey desktop=D wparam=0 lparam=2e0003").
#pragma once

#include <string>
#include <vector>

namespace kpltest {

struct JournalEntry {
    long long ms = 0;  // since the epoch
    bool hotKey = false;
    std::string desktop;
    unsigned vk = 0, scan = 0, flags = 0;  // a hot key's wparam and lparam stand in vk and scan
};

std::vector<JournalEntry> ReadKeyJournal(const std::string& path);

}  // namespace kpltest
