#include "tests/scenarios/runner/observations.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace scenario {

namespace {

struct KeyName {
    const char* name;
    unsigned vk;
};

constexpr KeyName Names[] = {
    {"BACK", 0x08},     {"TAB", 0x09},      {"RETURN", 0x0D},   {"SHIFT", 0x10},   {"CONTROL", 0x11},
    {"MENU", 0x12},     {"PAUSE", 0x13},    {"CAPITAL", 0x14},  {"ESCAPE", 0x1B},  {"SPACE", 0x20},
    {"LEFT", 0x25},     {"UP", 0x26},       {"RIGHT", 0x27},    {"DOWN", 0x28},    {"SNAPSHOT", 0x2C},
    {"DELETE", 0x2E},   {"F1", 0x70},       {"F2", 0x71},       {"F3", 0x72},      {"F4", 0x73},
    {"F5", 0x74},       {"F6", 0x75},       {"F7", 0x76},       {"F8", 0x77},      {"F9", 0x78},
    {"F10", 0x79},      {"F11", 0x7A},      {"F12", 0x7B},      {"NUMLOCK", 0x90}, {"SCROLL", 0x91},
    {"LSHIFT", 0xA0},   {"RSHIFT", 0xA1},   {"LCONTROL", 0xA2}, {"RCONTROL", 0xA3}, {"LMENU", 0xA4},
    {"RMENU", 0xA5},
};

unsigned Generic(unsigned vk)
{
    switch (vk) {
    case 0xA0:
    case 0xA1: return 0x10;
    case 0xA2:
    case 0xA3: return 0x11;
    case 0xA4:
    case 0xA5: return 0x12;
    default: return vk;
    }
}

}  // namespace

bool ParseVirtualKey(const std::string& name, unsigned& vk)
{
    if (name.size() == 1 && std::isalnum(static_cast<unsigned char>(name[0]))) {
        vk = static_cast<unsigned>(std::toupper(static_cast<unsigned char>(name[0])));
        return true;
    }
    if (name.size() > 2 && name[0] == '0' && name[1] == 'x') {
        char* end = nullptr;
        vk = static_cast<unsigned>(std::strtoul(name.c_str() + 2, &end, 16));
        return *end == '\0' && vk < 256;
    }
    std::string bare = name.rfind("VK_", 0) == 0 ? name.substr(3) : name;
    for (const auto& entry : Names)
        if (bare == entry.name) {
            vk = entry.vk;
            return true;
        }
    return false;
}

std::string VirtualKeyText(unsigned vk)
{
    if ((vk >= 'A' && vk <= 'Z') || (vk >= '0' && vk <= '9'))
        return std::string(1, static_cast<char>(vk));
    for (const auto& entry : Names)
        if (entry.vk == vk)
            return entry.name;
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", vk);
    return text;
}

bool SameKey(unsigned expected, unsigned observed)
{
    return expected == observed || Generic(expected) == observed;
}

void DeriveRepeatsAndText(std::vector<KeyObservation>& keys)
{
    std::map<unsigned, bool> down;
    for (auto& key : keys) {
        if (key.kind == KeyObservation::HotKey)
            continue;
        if (key.kind == KeyObservation::Up) {
            down[key.vk] = false;
            continue;
        }
        if (down[key.vk])
            key.kind = KeyObservation::Repeat;
        down[key.vk] = true;
        bool shift = down[0xA0] || down[0xA1] || down[0x10];
        unsigned vk = key.vk;
        if (vk >= 'A' && vk <= 'Z')
            key.text = std::string(1, static_cast<char>(shift ? vk : vk + ('a' - 'A')));
        else if ((vk >= '0' && vk <= '9' && !shift) || vk == ' ')
            key.text = std::string(1, static_cast<char>(vk));
        else if (vk == 0x0D)
            key.text = "\r";
        else if (vk == 0x09)
            key.text = "\t";
    }
}

std::string Describe(const KeyObservation& key)
{
    static const char* kinds[] = {"down", "repeat", "up", "hotkey"};
    if (key.kind == KeyObservation::HotKey)
        return "hotkey" + (key.desktop.empty() ? "" : " on " + key.desktop);
    char text[96];
    std::snprintf(text, sizeof text, "%s %s scan %02x%s%s%s", VirtualKeyText(key.vk).c_str(), kinds[key.kind],
                  key.scan, key.extended ? " ext" : "", key.desktop.empty() ? "" : " on ", key.desktop.c_str());
    return text;
}

bool MessageTable::Load(const std::string& path, std::string& error)
{
    std::ifstream in(path);
    if (!in) {
        error = path + ": cannot be read";
        return false;
    }
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        auto tab = line.find('\t');
        auto second = line.find('\t', tab + 1);
        if (tab == std::string::npos || second == std::string::npos)
            continue;
        Entry entry{static_cast<unsigned>(std::strtoul(line.c_str(), nullptr, 16)), {}, {}};
        std::string text = line.substr(second + 1), piece;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '%' && i + 1 < text.size() && std::isdigit(static_cast<unsigned char>(text[i + 1]))) {
                entry.pieces.push_back(piece);
                entry.inserts.push_back(text[i + 1] - '0');
                piece.clear();
                ++i;
            } else {
                piece += text[i];
            }
        }
        entry.pieces.push_back(piece);
        entries_.push_back(entry);
    }
    return true;
}

unsigned MessageTable::Match(const std::string& text) const
{
    unsigned best = 0;
    std::size_t bestLiteral = 0;
    for (const auto& entry : entries_) {
        const auto& p = entry.pieces;
        std::size_t literal = 0, at = 0;
        bool fits = text.compare(0, p.front().size(), p.front()) == 0;
        for (std::size_t i = 0; fits && i < p.size(); ++i) {
            literal += p[i].size();
            if (i == 0) {
                at = p[0].size();
            } else if (i + 1 == p.size()) {
                fits = text.size() >= at + p[i].size() && text.compare(text.size() - p[i].size(), p[i].size(), p[i]) == 0;
            } else {
                auto found = text.find(p[i], at);
                fits = found != std::string::npos;
                at = found + p[i].size();
            }
        }
        if (p.size() == 1)
            fits = fits && text == p[0];
        if (fits && (best == 0 || literal > bestLiteral)) {
            best = entry.id;
            bestLiteral = literal;
        }
    }
    return best;
}

std::string MessageTable::Format(unsigned id, const std::vector<std::string>& strings) const
{
    for (const auto& entry : entries_) {
        if (entry.id != id)
            continue;
        std::string text = entry.pieces[0];
        for (std::size_t i = 1; i < entry.pieces.size(); ++i) {
            std::size_t n = static_cast<std::size_t>(entry.inserts[i - 1] - 1);
            text += (n < strings.size() ? strings[n] : "") + entry.pieces[i];
        }
        return text;
    }
    return "";
}

std::vector<EventObservation> ConsoleEvents(const std::string& console, const MessageTable& table)
{
    // A trace printed in pieces by another thread (the receive dump) may
    // precede an event on its line: the stamp is looked for anywhere.
    auto stampAt = [](const std::string& line, std::size_t at) {
        static const char shape[] = "00:00:00.000: ";
        for (std::size_t i = 0; i + 1 < sizeof shape; ++i) {
            char c = line[at + i];
            if (shape[i] == '0' ? !std::isdigit(static_cast<unsigned char>(c)) : c != shape[i])
                return false;
        }
        return true;
    };
    std::vector<EventObservation> events;
    std::istringstream lines(console);
    for (std::string line; std::getline(lines, line);) {
        for (std::size_t at = 0; at + 14 <= line.size(); ++at) {
            if (!stampAt(line, at))
                continue;
            std::string text = line.substr(at + 14);
            // Text mode turns the message's own CR LF into CR CR LF on Windows.
            while (!text.empty() && text.back() == '\r')
                text.pop_back();
            events.push_back({table.Match(text), text, ""});
            break;
        }
    }
    return events;
}

}  // namespace scenario
