// The simulator's script: one command a line, '#' starts a comment.
//   press K...  release K...  tap K...  release all     keys 0 to 127
//   wait MS                     pause the script
//   polls N                     wait until N more requests have come
//   silence [N|always]          leave requests unanswered (default always)
//   delay MS                    delay each reply (0 ends it)
//   garbage XX...               stray bytes (hex) before the next reply
//   badchecksum [N|always]      replies with a wrong checksum (default 1)
//   wrongid XX [N|always]       replies with id XX instead
//   short [N|always]            replies shorter than their id requires
//   nodebits [N|always]         replies with node bits set in Node/Len
//   normal                      end every fault and the delay
//   drip MS                     no replies, a stray byte every MS (0 ends it)
//   hangup                      close the line, as a pulled cable does
//   stale                       an answer to STATUS now, unasked
//   counts                      print the request counts
//   quit                        end the simulator
#pragma once

#include "sim/keypanel_model.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kplsim {

enum class ScriptVerb {
    Nothing, Press, Release, Tap, ReleaseAll, Wait, Polls, Silence, Delay, Garbage, BadChecksum, WrongId, Short,
    NodeBits, Drip, Normal, Hangup, Stale, Counts, Quit
};

struct ScriptCommand {
    ScriptVerb verb = ScriptVerb::Nothing;
    std::vector<int> keys;
    std::vector<std::uint8_t> bytes;  // garbage
    std::uint8_t id = 0;              // wrongid
    unsigned milliseconds = 0;        // wait, delay
    int count = 0;                    // polls and the faults; AlwaysCount for always
};

// False with a message for a line that is not a command.
bool ParseScriptLine(const std::string& line, ScriptCommand& command, std::string& error);

// Carries out a command that acts on the model alone; false for the ones
// that belong to the runner (wait, polls, counts, quit, nothing).
bool ApplyToModel(KeypanelModel& model, const ScriptCommand& command);

}  // namespace kplsim
