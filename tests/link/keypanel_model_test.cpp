// The Keypanel model on its own: what it takes as a request, what it
// answers, and how injected faults shape the answer.
#include "sim/keypanel_model.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<std::uint8_t>;
using kplsim::KeypanelModel;
using kplsim::RequestKind;

const Bytes Keys = {0x02, 0x04, 0x12, 0x22};
const Bytes Identify = {0x02, 0x04, 0x10, 0x20};

std::vector<kplsim::Exchange> Feed(KeypanelModel& model, const Bytes& bytes, bool byteByByte = false)
{
    std::vector<kplsim::Exchange> exchanges;
    if (!byteByByte) {
        model.Receive(bytes.data(), bytes.size(), exchanges);
        return exchanges;
    }
    for (auto byte : bytes)
        model.Receive(&byte, 1, exchanges);
    return exchanges;
}

Bytes Answer(KeypanelModel& model, const Bytes& request)
{
    auto exchanges = Feed(model, request);
    EXPECT_EQ(exchanges.size(), 1u);
    return exchanges.empty() || !exchanges[0].answered ? Bytes{} : exchanges[0].reply;
}

TEST(KeypanelModel, TakesRequestsAndIgnoresNoise)
{
    KeypanelModel model;
    Bytes status = {0x02, 0x14, 0x11};
    status.insert(status.end(), 16, 0);
    status.push_back(0x41);
    struct Case {
        const char* what;
        Bytes wire;
        RequestKind kind;
        bool answered;
    };
    const Case cases[] = {
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
    EXPECT_EQ(Answer(model, Keys).size(), 20u);
}

TEST(KeypanelModel, IdentificationAndKeys)
{
    kplsim::Identity identity;
    ASSERT_TRUE(kplsim::ParseVersion("02.05", identity.major, identity.minor));
    identity.type = "ABC";
    identity.keyCount = 32;
    identity.ledCount = 16;
    KeypanelModel model(identity);
    Bytes reply = Answer(model, Identify);
    Bytes expected = {0x02, 0x10, 0x90, 0x02, 0x00, 0x05, 'A', 'B', 'C', ' ', ' ', ' ', ' ', ' ', 0x20, 0x10};
    Bytes plain = {0x02, 0x10, 0x90, 0x02, 0x05, 'A', 'B', 'C', ' ', ' ', ' ', ' ', ' ', 0x20, 0x10};
    expected.push_back(kplsim::KeypanelChecksum(plain.data(), plain.size(), false));
    EXPECT_EQ(reply, expected);

    model.Press(0);
    model.Tap(127);
    reply = Answer(model, Keys);
    EXPECT_EQ(reply[3], 0x01);
    EXPECT_EQ(reply[18], 0x80);
    reply = Answer(model, Keys);
    EXPECT_EQ(reply[3], 0x01) << "held";
    EXPECT_EQ(reply[18], 0x00) << "tapped key gone after one answer";
}

TEST(KeypanelModel, FaultsShapeTheAnswers)
{
    KeypanelModel model;
    Bytes good = Answer(model, Keys);
    ASSERT_EQ(good.size(), 20u);

    model.BadChecksum(2);
    for (int i = 0; i < 2; ++i)
        EXPECT_NE(Answer(model, Keys).back(), good.back());
    EXPECT_EQ(Answer(model, Keys), good);

    model.WrongId(0x55, 1);
    model.SendGarbage({0xAA, 0xBB});
    Bytes reply = Answer(model, Keys);
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 5), (Bytes{0xAA, 0xBB, 0x02, 0x14, 0x55}));
    EXPECT_EQ(Answer(model, Keys), good) << "garbage and wrong id were one-shot";

    model.NodeBits(1);
    EXPECT_EQ(Answer(model, Keys)[1], 0x54);
    model.ShortReply(1);
    reply = Answer(model, Keys);
    EXPECT_EQ(reply[1], 0x0C);
    EXPECT_EQ(reply.size(), 12u);

    model.Silence(kplsim::AlwaysCount);
    model.SetReplyDelay(70);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(Answer(model, Keys).empty());
    model.ClearFaults();
    auto exchanges = Feed(model, Keys);
    EXPECT_TRUE(exchanges[0].answered);
    EXPECT_EQ(exchanges[0].delayMs, 0u);
}

}  // namespace
