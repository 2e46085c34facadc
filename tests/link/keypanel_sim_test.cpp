// The simulator's script language: what it refuses. The scenarios drive
// everything it accepts.
#include "sim/keypanel_script.h"

#include <gtest/gtest.h>

namespace {

TEST(KeypanelScript, LinesRefused)
{
    for (const char* line : {"press", "press 128", "press -1", "press 5x", "tap all", "wait", "wait 1 2",
                             "wait 99999999999", "silence 0", "silence sometimes", "garbage", "garbage 100",
                             "wrongid", "wrongid zz", "wrongid 90 1 2", "counts now", "jump 3", "polls 0"}) {
        kplsim::ScriptCommand command;
        std::string error;
        EXPECT_FALSE(kplsim::ParseScriptLine(line, command, error)) << line;
        EXPECT_FALSE(error.empty()) << line;
        EXPECT_EQ(command.verb, kplsim::ScriptVerb::Nothing) << line;
    }
}

}  // namespace
