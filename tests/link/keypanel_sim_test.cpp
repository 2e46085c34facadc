// The Keypanel model's request reader and the simulator's script language;
// the model's answers and faults are tested through the link itself.
#include "sim/keypanel_model.h"
#include "sim/keypanel_script.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<std::uint8_t>;
using kplsim::KeypanelModel;
using kplsim::RequestKind;
using kplsim::ScriptVerb;

std::vector<kplsim::Exchange> Feed(KeypanelModel& model, const Bytes& bytes, bool byteByByte = false)
{
    std::vector<kplsim::Exchange> exchanges;
    for (std::size_t at = 0, step = byteByByte ? 1 : bytes.size(); at < bytes.size(); at += step)
        model.Receive(bytes.data() + at, step, exchanges);
    return exchanges;
}

TEST(KeypanelModel, TakesRequestsAndIgnoresNoise)
{
    KeypanelModel model;
    Bytes status = {0x02, 0x14, 0x11};
    status.insert(status.end(), 16, 0);
    status.push_back(0x41);
    struct Case { const char* what; Bytes wire; RequestKind kind; bool answered; } cases[] = {
        {"KEYS after noise", {0x41, 0xFF, 0x02, 0x04, 0x12, 0x22}, RequestKind::Keys, true},
        {"STATUS", status, RequestKind::Status, true},
        {"wrong checksum", {0x02, 0x04, 0x12, 0x23}, RequestKind::Rejected, false},
        {"Node/Len with node bits", {0x02, 0x44}, RequestKind::Rejected, false},
        {"KEYS with a payload", {0x02, 0x05, 0x12, 0x00, 0x44}, RequestKind::Rejected, false},
        {"unknown command", {0x02, 0x04, 0x20, 0x30}, RequestKind::Other, false},
    };
    for (bool byteByByte : {false, true}) {
        for (const auto& c : cases) {
            auto exchanges = Feed(model, c.wire, byteByByte);
            ASSERT_EQ(exchanges.size(), 1u) << c.what;
            EXPECT_EQ(exchanges[0].kind, c.kind) << c.what;
            EXPECT_EQ(exchanges[0].answered, c.answered) << c.what;
        }
    }
    EXPECT_EQ(model.CountsText(), "IDENTIFY 0, STATUS 2, KEYS 2, LEDS 0, other 2, rejected 6");

    // A request cut short is forgotten after a pause.
    Feed(model, {0x02, 0x14, 0x11, 0x00});
    EXPECT_TRUE(model.ResetReceiver());
    auto exchanges = Feed(model, {0x02, 0x04, 0x12, 0x22});
    ASSERT_EQ(exchanges.size(), 1u);
    EXPECT_EQ(exchanges[0].reply.size(), 20u);
}

TEST(KeypanelScript, LinesTakenAndRefused)
{
    struct Case { const char* line; ScriptVerb verb; std::vector<int> keys; int count; unsigned ms; } cases[] = {
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
        EXPECT_EQ(command.milliseconds, c.ms) << c.line;
    }

    kplsim::ScriptCommand command;
    std::string error;
    ASSERT_TRUE(kplsim::ParseScriptLine("garbage 41 0xff 00", command, error));
    EXPECT_EQ(command.bytes, (std::vector<std::uint8_t>{0x41, 0xFF, 0x00}));
    for (auto [line, count] : {std::pair{"wrongid 90 always", kplsim::AlwaysCount}, std::pair{"wrongid 90 3", 3}}) {
        ASSERT_TRUE(kplsim::ParseScriptLine(line, command, error)) << line;
        EXPECT_EQ(command.id, 0x90) << line;  // the count must not overwrite the id
        EXPECT_EQ(command.count, count) << line;
    }

    for (const char* line : {"press", "press 128", "press -1", "press 5x", "tap all", "wait", "wait 1 2",
                             "wait 99999999999", "silence 0", "silence sometimes", "garbage", "garbage 100",
                             "wrongid", "wrongid zz", "wrongid 90 1 2", "counts now", "jump 3", "polls 0"}) {
        command = {};
        error.clear();
        EXPECT_FALSE(kplsim::ParseScriptLine(line, command, error)) << line;
        EXPECT_FALSE(error.empty()) << line;
        EXPECT_EQ(command.verb, ScriptVerb::Nothing) << line;
    }
}

}  // namespace
