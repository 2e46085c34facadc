// Reading what a machine shows: key names, the text keys type, and events
// printed on a console told apart by the service's own message table.
#pragma once

#include "tests/scenarios/runner/target.h"

#include <string>
#include <vector>

namespace scenario {

// "A", "7", "LSHIFT" or "VK_LSHIFT", "0x41"; false for anything else.
bool ParseVirtualKey(const std::string& name, unsigned& vk);
std::string VirtualKeyText(unsigned vk);
// Whether an observed key is the expected one; a side-specific modifier
// also matches the generic key that window messages carry.
bool SameKey(unsigned expected, unsigned observed);

// Marks repeats (a key-down of a key already down) and fills in the text
// each key-down types, from the virtual keys and the Shift state; for
// targets that see only injected keys.
void DeriveRepeatsAndText(std::vector<KeyObservation>& keys);

std::string Describe(const KeyObservation& key);

class MessageTable {
public:
    // The id/symbol/text table the build turns into the message resource.
    bool Load(const std::string& path, std::string& error);
    // The id whose text this is, 0 when none fits.
    unsigned Match(const std::string& text) const;
    // The event's text with its insertion strings, as an event viewer shows it.
    std::string Format(unsigned id, const std::vector<std::string>& strings) const;

private:
    struct Entry {
        unsigned id;
        std::vector<std::string> pieces;  // literal text between the inserts
        std::vector<int> inserts;         // which string each insert takes
    };
    std::vector<Entry> entries_;
};

// Events as "-debug" prints them: "HH:MM:SS.mmm: text".
std::vector<EventObservation> ConsoleEvents(const std::string& console, const MessageTable& table);

}  // namespace scenario
