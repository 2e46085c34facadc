// Frames through a real port: requests byte for byte on the wire, responses
// from raw bytes, and the link against the Keypanel model and kplsim.
#include "link/commands.h"
#include "link/link.h"
#include "service/service.h"
#include "tests/link/link_test_support.h"
#include "tests/support/process.h"

#include <gtest/gtest.h>

#include <csignal>

namespace {

using linktest::Bytes;
using Clock = std::chrono::steady_clock;

Bytes Zeros(Bytes head, std::size_t zeros, Bytes tail = {})
{
    head.insert(head.end(), zeros, 0x00);
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

class RawLine : public ::testing::Test {
protected:
    linktest::Pty pty;
    linktest::LinkSession session{pty.SlavePath(), 300};

    bool Read(BYTE& id, Bytes& payload)
    {
        const BYTE* data = nullptr;
        if (!ReadResponse(&id, &data))
            return false;
        payload.assign(data, data + 16);
        return true;
    }
};

TEST_F(RawLine, RequestsOnTheWire)
{
    ASSERT_TRUE(session.opened);
    Bytes ledsWithStx = Zeros({0x02}, 31);
    struct Case {
        const char* what;
        BYTE command;
        const Bytes* payload;
        BYTE length;
        Bytes wire;
    };
    Bytes zeros32(32, 0);
    const Case cases[] = {
        {"IDENTIFY", CommandIdentify, nullptr, 0, {0x02, 0x04, 0x10, 0x20}},
        {"KEYS", CommandKeys, nullptr, 0, {0x02, 0x04, 0x12, 0x22}},
        {"STATUS dark", CommandStatus, &zeros32, 16, Zeros({0x02, 0x14, 0x11}, 16, {0x41})},
        {"LEDS off", CommandLeds, &zeros32, 32, Zeros({0x02, 0x24, 0x13}, 32, {0x63})},
        {"LEDS 02 first", CommandLeds, &ledsWithStx, 32, Zeros({0x02, 0x24, 0x13, 0x02, 0x00}, 31, {0x32})},
        // Node/Len follows the length even when the pointer is null.
        {"null payload, length 16", CommandStatus, nullptr, 16, {0x02, 0x14, 0x11, 0x41}},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(SendRequest(c.command, c.payload ? c.payload->data() : nullptr, c.length)) << c.what;
        EXPECT_EQ(pty.Receive(c.wire.size() + 1, 300), c.wire) << c.what;
    }
    Bytes tooLong(60, 0x02);
    EXPECT_FALSE(SendRequest(CommandLeds, tooLong.data(), 60));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(pty.Receive(1, 100).empty());
    EXPECT_EQ(CommMonitor.ErrorCount, 0u);
}

TEST_F(RawLine, ResponsesFromRawBytes)
{
    ASSERT_TRUE(session.opened);
    const Bytes keys = Zeros({0x02, 0x14, 0x92, 0x80}, 15, {0x82});
    BYTE id = 0;
    Bytes payload;
    // Stray bytes first, and a second frame that waits for the next read.
    Bytes wire = {0x41, 0x00};
    wire.insert(wire.end(), keys.begin(), keys.end());
    wire.insert(wire.end(), {0x02, 0x14, 0x91});
    wire.insert(wire.end(), 16, 0x00);
    wire.push_back(0xC1);
    pty.Send(wire);
    ASSERT_TRUE(Read(id, payload));
    EXPECT_EQ(id, 0x92);
    EXPECT_EQ(payload[0], 0x80);
    EXPECT_EQ(CommMonitor.ErrorCount, 0u);
    DWORD lastError = 0;
    QueryCommError(&lastError);
    EXPECT_EQ(lastError, DWORD(ERROR_INVALID_DATA));
    ASSERT_TRUE(Read(id, payload));
    EXPECT_EQ(id, 0x91);
    EXPECT_EQ(payload, Zeros({}, 16));

    pty.Send(Zeros({0x02, 0x14, 0x92}, 16, {0x00}));
    ASSERT_TRUE(Read(id, payload));
    EXPECT_EQ(id, 0) << "wrong checksum";
    Bytes shortFrame = {0x02, 0x05, 0x92, 0x80};
    shortFrame.push_back(FrameChecksum(shortFrame.data(), 4, false));
    pty.Send(shortFrame);
    ASSERT_TRUE(Read(id, payload));
    EXPECT_EQ(id, 0) << "short frame";
    QueryCommError(&lastError);
    EXPECT_EQ(lastError, DWORD(ERROR_INVALID_DATA));
}

TEST_F(RawLine, BabblingLineReleasesTheReader)
{
    ASSERT_TRUE(session.opened);
    pty.Send(Bytes(300, 0x41));
    BYTE id = 0;
    Bytes payload;
    auto start = Clock::now();
    EXPECT_FALSE(Read(id, payload));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_DATA));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(250)) << "gave up on bytes, not on a time-out";
    EXPECT_EQ(CommMonitor.ErrorCount, DWORD(MaxResponseBytes));
    // The rest stays queued: 48 more rejects, then silence.
    EXPECT_FALSE(Read(id, payload));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_TIMEOUT));
    EXPECT_EQ(CommMonitor.ErrorCount, 300u);
}

class ModelLine : public ::testing::Test {
protected:
    linktest::ServedKeypanel panel;
    linktest::LinkSession session{panel.SlavePath(), 300};

    // One request and its answer: the id (or 0xEE for a failed read).
    BYTE Exchange(BYTE command, const Bytes& payload = {}, Bytes* answer = nullptr)
    {
        EXPECT_TRUE(SendRequest(command, payload.empty() ? nullptr : payload.data(),
                                static_cast<BYTE>(payload.size())));
        BYTE id = 0;
        const BYTE* data = nullptr;
        if (!ReadResponse(&id, &data))
            return 0xEE;
        if (answer != nullptr)
            answer->assign(data, data + ResponsePayloadLength(id == 0 ? ResponseKeys : id));
        return id;
    }
};

TEST_F(ModelLine, AnswersTheFourCommands)
{
    ASSERT_TRUE(session.opened);
    Bytes answer;
    ASSERT_EQ(Exchange(CommandIdentify, {}, &answer), ResponseIdentify);
    EXPECT_EQ(answer, (Bytes{0x01, 0x23, 'T', 'K', 'P', '1', '0', 'K', 'E', 'Y', 64, 64}));

    // Keys 1 and 9 give the matrix 02 02: both sides must agree on its sum.
    panel.model.Press(1);
    panel.model.Press(9);
    ASSERT_EQ(Exchange(CommandKeys, {}, &answer), ResponseKeys);
    EXPECT_EQ(answer, Zeros({0x02, 0x02}, 14));

    Bytes block(32, 0);
    SetLedState(block.data(), 0, LedOn);
    SetLedState(block.data(), 5, LedFastBlink);
    block[10] = 0x02;
    EXPECT_EQ(Exchange(CommandLeds, block), ResponseLeds);
    auto received = panel.model.LastLedBlock();
    EXPECT_EQ(Bytes(received.begin(), received.end()), block);

    Bytes pattern = Zeros({0x02, 0x02}, 14);
    EXPECT_EQ(Exchange(CommandStatus, pattern), ResponseStatus);
    auto lit = panel.model.LastLedPattern();
    EXPECT_EQ(Bytes(lit.begin(), lit.end()), pattern);
    EXPECT_EQ(panel.model.Requests(kplsim::RequestKind::Rejected), 0u);
    EXPECT_EQ(CommMonitor.ErrorCount, 0u);
    EXPECT_EQ(panel.model.CountsText(), "IDENTIFY 1, STATUS 1, KEYS 1, LEDS 1, other 0, rejected 0");
}

TEST_F(ModelLine, InjectedFaultsReachTheMonitorAsDocumented)
{
    ASSERT_TRUE(session.opened);
    struct Case {
        const char* what;
        void (*inject)(kplsim::KeypanelModel&);
        BYTE id;        // 0xEE: the read failed
        DWORD error;    // last error, of the read or in the monitor
        bool failed;    // monitor flag afterwards (threshold 3)
    };
    const Case cases[] = {
        {"silence", [](kplsim::KeypanelModel& m) { m.Silence(1); }, 0xEE, ERROR_TIMEOUT, false},
        {"bad checksum", [](kplsim::KeypanelModel& m) { m.BadChecksum(1); }, 0, ERROR_CRC, false},
        {"short", [](kplsim::KeypanelModel& m) { m.ShortReply(1); }, 0, ERROR_INVALID_DATA, false},
        {"wrong id", [](kplsim::KeypanelModel& m) { m.WrongId(0x90, 1); }, 0x90, 0, false},
        {"stray bytes", [](kplsim::KeypanelModel& m) { m.SendGarbage({0x41, 0x42, 0x43, 0x44}); }, 0x92,
         ERROR_INVALID_DATA, false},
        {"node bits", [](kplsim::KeypanelModel& m) { m.NodeBits(1); }, 0xEE, ERROR_TIMEOUT, true},
    };
    for (const auto& c : cases) {
        SetCommResult(0);
        c.inject(panel.model);
        BYTE id = Exchange(CommandKeys);
        DWORD lastError = 0;
        DWORD failed = QueryCommError(&lastError);
        EXPECT_EQ(id, c.id) << c.what;
        EXPECT_EQ(id == 0xEE ? GetLastError() : c.error == 0 ? 0 : lastError, c.error) << c.what;
        EXPECT_EQ(failed != 0, c.failed) << c.what;
        // The next good frame clears whatever was raised.
        ASSERT_EQ(Exchange(CommandKeys), ResponseKeys) << c.what;
        EXPECT_EQ(QueryCommError(&lastError), 0u) << c.what;
    }
}

TEST_F(ModelLine, LateRepliesArriveLate)
{
    ASSERT_TRUE(session.opened);
    Bytes answer;
    // A reply later than the response time-out is read as the answer to
    // the next request, as on a real line where nothing is purged.
    panel.model.SetReplyDelay(450);
    panel.model.Press(0);
    EXPECT_EQ(Exchange(CommandKeys), 0xEE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_TIMEOUT));
    panel.model.SetReplyDelay(0);
    EXPECT_TRUE(kpltest::WaitUntil([&] { return panel.model.TotalRequests() >= 1; }));
    ASSERT_EQ(Exchange(CommandLeds, Bytes(32, 0), &answer), ResponseKeys) << "the delayed KEYS answer";
    ASSERT_EQ(Exchange(CommandKeys), ResponseLeds) << "then the LEDS answer";
}

TEST(Kplsim, ServesAPortShowsLedsAndCounts)
{
    kpltest::TempDir dir;
    kpltest::WriteFile(dir.File("script"), "# a key held from the start\npress 5\nbogus\n");
    kpltest::Process sim({KPL_KPLSIM_EXE, "--script", dir.File("script"), "--counts", "--leds", "8", "--link",
                          dir.File("com3")});
    ASSERT_TRUE(sim.WaitForOutput("\n", std::chrono::milliseconds(5000)));
    std::string path = sim.Output().substr(0, sim.Output().find('\n'));
    ASSERT_EQ(path.rfind("/dev/", 0), 0u) << sim.Output();

    // The script has run up to its last line once the error about it shows.
    ASSERT_TRUE(sim.WaitForOutput("unknown command 'bogus'", std::chrono::milliseconds(5000))) << sim.Output();
    linktest::LinkSession session(dir.File("com3"), 1000);
    ASSERT_TRUE(session.opened) << GetLastError();
    BYTE id = 0;
    const BYTE* payload = nullptr;
    ASSERT_TRUE(SendRequest(CommandKeys, nullptr, 0));
    ASSERT_TRUE(ReadResponse(&id, &payload));
    EXPECT_EQ(id, ResponseKeys);
    EXPECT_EQ(payload[0], 0x20);
    Bytes block(32, 0);
    SetLedState(block.data(), 0, LedOn);
    SetLedState(block.data(), 2, LedSlowBlink);
    ASSERT_TRUE(SendRequest(CommandLeds, block.data(), 32));
    ASSERT_TRUE(ReadResponse(&id, &payload));
    EXPECT_TRUE(sim.WaitForOutput(" LEDS   #.s.....", std::chrono::milliseconds(5000))) << sim.Output();

    sim.Signal(SIGINT);
    int status = -1;
    ASSERT_TRUE(sim.Wait(std::chrono::milliseconds(5000), &status));
    EXPECT_EQ(status, 0);
    EXPECT_NE(sim.Output().find("requests: IDENTIFY 0, STATUS 0, KEYS 1, LEDS 1, other 0, rejected 0"),
              std::string::npos)
        << sim.Output();
    EXPECT_NE(sim.Output().find("script:3: unknown command 'bogus'"), std::string::npos) << sim.Output();
}

}  // namespace
