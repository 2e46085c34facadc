// Reading what a machine shows: key names, the text keys type, and events
// told apart by the service's own message table.
#include "tests/scenarios/runner/runner.h"
#include "tests/support/test_support.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <utility>

namespace scenario {

namespace {

// The virtual keys that are neither letters, digits nor F keys, by the names
// their VK_ constants have.
const std::pair<unsigned, const char*> Names[] = {
    {0x08, "BACK"},   {0x09, "TAB"},     {0x0D, "RETURN"},   {0x10, "SHIFT"},    {0x11, "CONTROL"}, {0x12, "MENU"},
    {0x13, "PAUSE"},  {0x14, "CAPITAL"}, {0x1B, "ESCAPE"},   {0x20, "SPACE"},    {0x25, "LEFT"},    {0x26, "UP"},
    {0x27, "RIGHT"},  {0x28, "DOWN"},    {0x2E, "DELETE"},   {0x90, "NUMLOCK"},  {0x91, "SCROLL"},  {0xA0, "LSHIFT"},
    {0xA1, "RSHIFT"}, {0xA2, "LCONTROL"}, {0xA3, "RCONTROL"}, {0xA4, "LMENU"},   {0xA5, "RMENU"}};

std::string KeyText(unsigned vk)
{
    if (std::isupper(static_cast<int>(vk)) || std::isdigit(static_cast<int>(vk)))
        return std::string(1, static_cast<char>(vk));
    if (vk >= 0x70 && vk <= 0x7B)
        return "F" + std::to_string(vk - 0x6F);
    for (const auto& [code, name] : Names)
        if (code == vk)
            return name;
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", vk);
    return text;
}

std::string Shown(unsigned id, const std::string& text)
{
    char head[16];
    std::snprintf(head, sizeof head, "0x%08X ", id);
    return head + text;
}

}  // namespace

Words Lines(const std::string& text)
{
    Words lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line.substr(0, line.find_last_not_of('\r') + 1));
    return lines;
}

bool ParseVirtualKey(const std::string& name, unsigned& vk)
{
    for (vk = 1; vk < 256; ++vk)
        if (KeyText(vk) == name)
            return true;
    return false;
}

std::string Describe(const KeyObservation& key)
{
    static const char* kinds[] = {"down", "repeat", "up"};
    std::string on = key.desktop.empty() ? "" : " on " + key.desktop;
    if (key.kind == KeyObservation::HotKey)
        return "hotkey" + on;
    char scan[16];
    std::snprintf(scan, sizeof scan, " scan %02x", key.scan);
    return KeyText(key.vk) + " " + kinds[key.kind] + scan + (key.extended ? " ext" : "") + on;
}

void DeriveRepeatsAndText(std::vector<KeyObservation>& keys)
{
    std::map<unsigned, bool> down;
    for (auto& key : keys) {
        if (key.kind == KeyObservation::HotKey)
            continue;
        // A key-down of a key already down is a repeat.
        if (std::exchange(down[key.vk], key.kind == KeyObservation::Down) && key.kind == KeyObservation::Down)
            key.kind = KeyObservation::Repeat;
        if (key.kind == KeyObservation::Up)
            continue;
        bool shift = down[0xA0] || down[0xA1] || down[0x10];
        int vk = static_cast<int>(key.vk);
        if (std::isupper(vk))
            key.text = std::string(1, static_cast<char>(shift ? vk : std::tolower(vk)));
        else if ((std::isdigit(vk) && !shift) || vk == ' ' || vk == '\r' || vk == '\t')
            key.text = std::string(1, static_cast<char>(vk));
    }
}

bool MessageTable::Load(const std::string& path, std::string& error)
{
    for (const auto& line : Lines(kpltest::ReadFile(path))) {
        auto tab = line.find('\t');
        auto text = tab == std::string::npos ? tab : line.find('\t', tab + 1);
        if (line.empty() || line[0] == '#' || text == std::string::npos)
            continue;
        Entry entry{static_cast<unsigned>(std::strtoul(line.c_str(), nullptr, 16)), {""}, {}};
        for (std::size_t i = text + 1; i < line.size(); ++i) {
            if (line[i] == '%' && std::isdigit(static_cast<unsigned char>(line[i + 1]))) {
                entry.inserts.push_back(line[++i] - '0');
                entry.pieces.emplace_back();
            } else {
                entry.pieces.back() += line[i];
            }
        }
        entries_.push_back(entry);
    }
    error = path + ": no messages in it";
    return !entries_.empty();
}

// The id of the message whose literal pieces frame the text, the one with
// the most literal text when several do; 0 when none fits.
unsigned MessageTable::Match(const std::string& text) const
{
    unsigned best = 0;
    std::size_t bestLiteral = 0;
    for (const auto& entry : entries_) {
        const auto& p = entry.pieces;
        std::size_t at = p[0].size(), literal = at;
        bool fits = text.compare(0, at, p[0]) == 0 && (p.size() > 1 || text == p[0]);
        for (std::size_t i = 1; fits && i + 1 < p.size(); ++i) {
            at = text.find(p[i], at);
            fits = at != std::string::npos;
            at += p[i].size();
            literal += p[i].size();
        }
        if (p.size() > 1 && fits) {
            const std::string& last = p.back();
            fits = text.size() >= at + last.size() && text.compare(text.size() - last.size(), last.size(), last) == 0;
            literal += last.size();
        }
        if (fits && (best == 0 || literal > bestLiteral)) {
            best = entry.id;
            bestLiteral = literal;
        }
    }
    return best;
}

std::string MessageTable::Format(unsigned id, const Words& strings) const
{
    std::string text;
    for (const auto& entry : entries_) {
        if (entry.id != id)
            continue;
        text = entry.pieces[0];
        for (std::size_t i = 1; i < entry.pieces.size(); ++i) {
            auto n = static_cast<std::size_t>(entry.inserts[i - 1] - 1);
            text += (n < strings.size() ? strings[n] : "") + entry.pieces[i];
        }
    }
    return Shown(id, text);
}

Words MessageTable::ConsoleEvents(const std::string& console) const
{
    // A trace printed in pieces by another thread (the receive dump) may
    // precede an event on its line: the stamp is looked for anywhere.
    auto stamped = [](const std::string& line, std::size_t at) {
        static const char shape[] = "00:00:00.000: ";
        for (std::size_t i = 0; i < 14; ++i)
            if (shape[i] == '0' ? !std::isdigit(static_cast<unsigned char>(line[at + i])) : line[at + i] != shape[i])
                return false;
        return true;
    };
    Words events;
    for (const auto& line : Lines(console)) {
        for (std::size_t at = 0; at + 14 <= line.size(); ++at) {
            if (!stamped(line, at))
                continue;
            // Text mode turns the message's own CR LF into CR CR LF on Windows:
            // the lines come without them.
            events.push_back(Shown(Match(line.substr(at + 14)), line.substr(at + 14)));
            break;
        }
    }
    return events;
}

}  // namespace scenario
