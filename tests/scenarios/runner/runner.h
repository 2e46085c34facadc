// The scenario runner's parts: a scenario file as steps, what a target (a
// machine with the service on it) shows, and the two targets. The runner
// drives the Keypanel itself; docs/scenarios.md describes the language.
#pragma once

#include "tests/support/process.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace scenario {

using Words = std::vector<std::string>;

struct Step {
    int line = 0;        // in the file, for messages
    std::string target;  // "" for every target, else the one it is for
    Words words;
    std::string text, block;  // the line as written, for messages; the lines of a registry block
};

struct Scenario {
    // The file, and "speed=2 delay=0" of a table row, else "".
    std::string path, row;
    Words targets;       // empty: every target
    std::string reason;  // why the scenario is limited to them
    Words keypanel;      // kplsim's identity options
    unsigned cycle = 40;  // key output cycle in ms, for "cycles"
    std::vector<Step> steps;
};

// One scenario per table row (one when there is no table), with the steps
// for that target; false with a message naming the line for a file that is
// not a scenario. `known` tells the steps the runner can play.
bool LoadScenarios(const std::string& path, const std::string& target, const std::function<bool(const Words&)>& known,
                   std::vector<Scenario>& scenarios, std::string& error);

struct KeyObservation {
    enum Kind { Down, Repeat, Up, HotKey };
    long long ms = 0;  // the target's own clock
    Kind kind = Down;
    unsigned vk = 0, scan = 0;
    bool extended = false;
    // Where the target can tell it; the characters the key-down typed.
    std::string desktop, text;
};

// The lines of a text, without their line ends.
Words Lines(const std::string& text);

// "A", "7", "LSHIFT"; false for anything else.
bool ParseVirtualKey(const std::string& name, unsigned& vk);
std::string Describe(const KeyObservation& key);
// Marks repeats (a key-down of a key already down) and fills in the text
// each key-down types, from the virtual keys and the Shift state; for
// targets that see only injected keys.
void DeriveRepeatsAndText(std::vector<KeyObservation>& keys);

// The id/symbol/text table the build turns into the message resource.
class MessageTable {
public:
    bool Load(const std::string& path, std::string& error);
    // The event as a target tells it: "0x40000012 " and its text with its
    // insertion strings, as an event viewer shows it.
    std::string Format(unsigned id, const Words& strings) const;
    // Events as "-debug" prints them ("HH:MM:SS.mmm: text") as a target
    // tells events, each told by the message whose text fits it best.
    Words ConsoleEvents(const std::string& console) const;

private:
    struct Entry {
        unsigned id;
        Words pieces;              // literal text between the inserts
        std::vector<int> inserts;  // which string each insert takes
    };
    unsigned Match(const std::string& text) const;
    std::vector<Entry> entries_;
};

// A machine with the service on it, fresh for a scenario; whatever still
// runs ends with it.
class Target {
public:
    virtual ~Target() = default;
    // Merges a .reg fragment into the machine's registry, as an
    // administrator would import it.
    virtual bool ApplyRegistry(const std::string& block, std::string& error) = 0;
    // Whether the panel driver ("driver") can be opened, or the logon
    // desktop "Winlogon" ("winlogon") exists for the secure attention key.
    virtual bool SetPresent(const std::string& what, bool present, std::string& error) = 0;
    // As "VkKplSvc -debug", a console run, or under the service manager.
    virtual bool Start(bool debug, std::string& error) = 0;
    // Ctrl-C in debug mode, the stop control in service mode.
    virtual bool Stop(std::string& error) = 0;
    // True with the exit status once the service process has ended.
    virtual bool Exited(int& status) = 0;
    // VkKplSvc with these arguments, to its end.
    virtual kpltest::ProcessResult Command(const Words& arguments) = 0;

    // Everything seen so far, in order.
    virtual std::vector<KeyObservation> Keys() = 0;
    // Events the service logged in service mode, as "0x40000012 text[ data=XX XX]",
    // the data where the target shows it. In debug mode it prints them itself.
    virtual Words Events() = 0;
    virtual std::string Console() = 0;
    // The reports to the service manager as the target's manager spells them.
    virtual Words Reports() = 0;
    // A registry value as text ("01.23", "64" for a number); false if missing.
    virtual bool ReadRegistry(const std::string& key, const std::string& value, std::string& data) = 0;
};

// Makes a scenario's target, whose COM3 is the given serial line.
using Targets = std::function<std::unique_ptr<Target>(const std::string& port)>;
// The Linux build's VkKplSvc at that path.
Targets LinuxTargets(const std::string& service);
// The win32 build's VkKplSvc.exe under 32-bit wine, on machines that the
// machine script brings up.
Targets WineTargets(const std::string& machineScript, const MessageTable& table);
// Which wine machine this run plays on, found out once: "wine32", or
// "wine64" with why not 32-bit in `note`; false with the reason in `note`
// when no wine runs here. Every machine of the run is of that kind.
bool ChooseWineMachine(const std::string& machineScript, std::string& label, std::string& note);

}  // namespace scenario
