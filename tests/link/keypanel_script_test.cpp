// The simulator's script language: what each line means, what is refused.
#include "sim/keypanel_script.h"

#include <gtest/gtest.h>

namespace {

using kplsim::ScriptVerb;

TEST(KeypanelScript, Lines)
{
    struct Case {
        const char* line;
        ScriptVerb verb;
        std::vector<int> keys;
        int count;
        unsigned milliseconds;
    };
    const Case cases[] = {
        {"press 0 127  # two keys", ScriptVerb::Press, {0, 127}, 0, 0},
        {"  tap 9", ScriptVerb::Tap, {9}, 0, 0},
        {"release all", ScriptVerb::ReleaseAll, {}, 0, 0},
        {"wait 250", ScriptVerb::Wait, {}, 0, 250},
        {"delay 0", ScriptVerb::Delay, {}, 0, 0},
        {"polls 3", ScriptVerb::Polls, {}, 3, 0},
        {"silence", ScriptVerb::Silence, {}, kplsim::AlwaysCount, 0},
        {"silence 2", ScriptVerb::Silence, {}, 2, 0},
        {"badchecksum", ScriptVerb::BadChecksum, {}, 1, 0},
        {"short always", ScriptVerb::Short, {}, kplsim::AlwaysCount, 0},
        {"nodebits 4", ScriptVerb::NodeBits, {}, 4, 0},
        {"# only a comment", ScriptVerb::Nothing, {}, 0, 0},
        {"", ScriptVerb::Nothing, {}, 0, 0},
        {"quit", ScriptVerb::Quit, {}, 0, 0},
    };
    for (const auto& c : cases) {
        kplsim::ScriptCommand command;
        std::string error;
        ASSERT_TRUE(kplsim::ParseScriptLine(c.line, command, error)) << c.line << ": " << error;
        EXPECT_EQ(command.verb, c.verb) << c.line;
        EXPECT_EQ(command.keys, c.keys) << c.line;
        EXPECT_EQ(command.count, c.count) << c.line;
        EXPECT_EQ(command.milliseconds, c.milliseconds) << c.line;
    }

    kplsim::ScriptCommand command;
    std::string error;
    ASSERT_TRUE(kplsim::ParseScriptLine("garbage 41 0xff 00", command, error));
    EXPECT_EQ(command.bytes, (std::vector<std::uint8_t>{0x41, 0xFF, 0x00}));
    ASSERT_TRUE(kplsim::ParseScriptLine("wrongid 90 always", command, error));
    EXPECT_EQ(command.id, 0x90);
    EXPECT_EQ(command.count, kplsim::AlwaysCount);
}

TEST(KeypanelScript, RefusedLines)
{
    for (const char* line : {"press", "press 128", "press -1", "press 5x", "tap all", "wait", "wait 1 2",
                             "wait 99999999999", "silence 0", "silence sometimes", "garbage", "garbage 100",
                             "wrongid", "wrongid zz", "wrongid 90 1 2", "counts now", "jump 3", "polls 0"}) {
        kplsim::ScriptCommand command;
        std::string error;
        EXPECT_FALSE(kplsim::ParseScriptLine(line, command, error)) << line;
        EXPECT_FALSE(error.empty()) << line;
        EXPECT_EQ(command.verb, ScriptVerb::Nothing) << line;
    }
}

}  // namespace
