// What a scenario runs against: a machine with the service on it. The
// runner drives the Keypanel itself; a target starts and stops the service
// and tells what the machine showed.
#pragma once

#include <string>
#include <vector>

namespace scenario {

struct KeyObservation {
    enum Kind { Down, Repeat, Up, HotKey };
    long long ms = 0;  // the target's own clock
    Kind kind = Down;
    unsigned vk = 0;
    unsigned scan = 0;
    bool extended = false;
    std::string desktop;  // where the target can tell
    std::string text;     // the characters the key-down typed
};

struct EventObservation {
    unsigned id = 0;
    std::string text;
    std::string data;  // raw data as "XX XX", where the target can tell
};

struct CommandResult {
    int status = -1;
    std::string output;
};

class Target {
public:
    virtual ~Target() = default;
    virtual std::string Name() const = 0;

    // A fresh machine whose COM3 is the given serial line.
    virtual bool Prepare(const std::string& portPath, std::string& error) = 0;
    // Merges a .reg fragment into the machine's registry, as an
    // administrator would import it.
    virtual bool ApplyRegistry(const std::string& block, std::string& error) = 0;
    // Whether the panel driver is there to be opened.
    virtual bool SetDriverPresent(bool present, std::string& error) = 0;
    // Whether the logon desktop "Winlogon" exists for the secure attention key.
    virtual bool SetWinlogonPresent(bool present, std::string& error) = 0;
    // mode: "debug" (a console run) or "service" (under the service manager).
    virtual bool Start(const std::string& mode, std::string& error) = 0;
    // Ctrl-C in debug mode, the stop control in service mode.
    virtual bool Stop(std::string& error) = 0;
    // True with the exit status once the service process has ended.
    virtual bool Exited(int& status) = 0;
    // VkKplSvc with these arguments, to its end.
    virtual CommandResult Command(const std::vector<std::string>& arguments) = 0;

    // Everything seen so far, in order.
    virtual std::vector<KeyObservation> Keys() = 0;
    virtual std::vector<EventObservation> Events() = 0;
    virtual std::string Console() = 0;
    // Service states as the service manager saw them reported
    // ("START_PENDING", "RUNNING", "STOP_PENDING", "STOPPED"), and the
    // reports themselves as the target's manager spells them.
    virtual std::vector<std::string> States() = 0;
    virtual std::vector<std::string> Reports() = 0;
    // A registry value as text ("01.23", "64" for a number); false if missing.
    virtual bool ReadRegistry(const std::string& key, const std::string& value, std::string& data) = 0;

    // Ends whatever still runs and removes the machine.
    virtual void Finish() = 0;
};

}  // namespace scenario
