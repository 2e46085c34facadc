// A scenario file: the machine's registry, what the Keypanel does and what
// the machine must show, as one list of steps. docs/scenarios.md describes
// the language.
#pragma once

#include <string>
#include <vector>

namespace scenario {

struct Step {
    int line = 0;               // in the file, for messages
    std::string target;         // "" for every target, else the one it is for
    std::vector<std::string> words;
    std::string text;           // the line as written, for messages
    std::string block;          // the lines of a registry block
};

struct Scenario {
    std::string path;
    std::string title;
    std::string row;                    // "speed=2 delay=0" of a table row, else ""
    std::vector<std::string> targets;   // empty: every target
    std::string onlyReason;             // why the scenario is limited to them
    std::vector<std::string> keypanel;  // kplsim's identity options
    unsigned cycle = 40;                // key output cycle in ms, for "cycles"
    std::vector<Step> steps;
};

// One scenario per table row (one when there is no table); false with a
// message naming the line for a file that is not a scenario.
bool LoadScenarios(const std::string& path, std::vector<Scenario>& scenarios, std::string& error);

// Words of a line: blanks separate, "double quotes" keep blanks, with the
// escapes \" \\ \n \r \t inside them.
bool SplitWords(const std::string& line, std::vector<std::string>& words, std::string& error);

}  // namespace scenario
