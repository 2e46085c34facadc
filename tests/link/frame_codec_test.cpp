// The frame codec and the error monitor without a port: checksum and
// response parser byte by byte, and the monitor's thresholds.
#include "link/commands.h"
#include "link/link.h"
#include "tests/link/frames.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

BYTE Sum(const Bytes& bytes, bool stuffed)
{
    return FrameChecksum(bytes.data(), static_cast<int>(bytes.size()), stuffed);
}

Bytes WithSum(Bytes frame)
{
    frame.push_back(Sum(frame, false));
    return frame;
}

TEST(FrameChecksum, WireExamples)
{
    struct Case { const char* what; Bytes frame; bool stuffed; BYTE expected; } cases[] = {
        {"IDENTIFY request", {0x02, 0x04, 0x10}, true, 0x20},
        {"STATUS, all dark", Frame({0x02, 0x14, 0x11}, 16), true, 0x41},
        {"LEDS, all off", Frame({0x02, 0x24, 0x13}, 32), true, 0x63},
        {"LEDS, first byte 0x02, stuffed", Frame({0x02, 0x24, 0x13, 0x02, 0x00}, 31), true, 0x32},
        {"STATUS response", Frame({0x02, 0x14, 0x91}, 16), false, 0xC1},
        {"KEYS response", Frame({0x02, 0x14, 0x92}, 16), false, 0xC2},
        {"de-stuffed 02 55 leaves 55 out", Frame({0x02, 0x14, 0x92, 0x02, 0x55}, 14), false, 0xE1},
        // 2*FF + FF = 765: the carry added is 1, not 2.
        {"carry of exactly 1", {0xFF, 0xFF}, false, 0xFE},
        {"a sum of 0x02 is sent as 0xFD", {0x02}, false, 0xFD},
        {"nothing to sum", {}, false, 0x00},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Sum(c.frame, c.stuffed), c.expected) << c.what;

    // Whatever follows a payload 0x02 is left out on both sides; in the
    // header 0x02 is summed like any byte.
    for (BYTE after : {0x00, 0x55, 0xFF})
        EXPECT_EQ(Sum(Frame({0x02, 0x14, 0x11, 0x02, 0x00, after}, 14), true),
                  Sum(Frame({0x02, 0x14, 0x11, 0x02, 0x77}, 14), false))
            << int(after);
    EXPECT_NE(Sum({0x02, 0x04, 0x02, 0x00}, false), Sum({0x02, 0x04, 0x02, 0x77}, false));
    // Payload 02 02 00: the receiver sums the first 02, skips the second and
    // sums the 00; the sender of 02 00 02 00 skips the 00 and the second 02.
    EXPECT_EQ(Sum(Frame({0x02, 0x14, 0x11, 0x02, 0x02, 0x00}, 13), false),
              Sum(Frame({0x02, 0x14, 0x11, 0x02, 0x99, 0x00}, 13), false));
    EXPECT_EQ(Sum(Frame({0x02, 0x14, 0x11, 0x02, 0x00, 0x02, 0x00}, 14), true),
              Sum(Frame({0x02, 0x14, 0x11, 0x02, 0x77, 0x88, 0x00}, 14), true));
}

class Parser : public ::testing::Test {
protected:
    void SetUp() override { InitCommMonitor(3); }
    void TearDown() override { DeleteCommMonitor(); }

    // Feeds bytes; returns how many frames completed, keeps the last index.
    int Feed(const Bytes& bytes)
    {
        int completed = 0;
        for (BYTE value : bytes) {
            bool complete = false;
            index = ParseResponseByte(value, buffer, ReceiveBufferSize, index, &complete);
            EXPECT_GE(index, 0);
            EXPECT_LE(index, ReceiveBufferSize);
            completed += complete;
        }
        return completed;
    }

    BYTE buffer[ReceiveBufferSize] = {};
    int index = 0;
};

TEST_F(Parser, VerdictOnEachFrame)
{
    // Id 0: rejected, with that error reported; the payload's start checked when given.
    struct Case { const char* what; Bytes wire; BYTE id; Bytes payloadStart; DWORD error; } cases[] = {
        {"all-zero KEYS answer", Frame({0x02, 0x14, 0x92}, 16, {0xC2}), 0x92, {0, 0, 0}, 0},
        {"stuffed 02 00 55", Frame({0x02, 0x14, 0x92, 0x02, 0x00, 0x55}, 14, {0xE1}), 0x92, {0x02, 0x55, 0x00}, 0},
        // The dropped byte need not be the 0x00 a sender writes.
        {"stuffing byte not 00", Frame({0x02, 0x14, 0x92, 0x02, 0x7E, 0x55}, 14, {0xE1}), 0x92, {0x02, 0x55, 0x00}, 0},
        {"id 0x02 is no payload", WithSum(Frame({0x02, 0x14, 0x02}, 16)), 0x02, {0, 0, 0}, 0},
        {"longer than required", WithSum(Frame({0x02, 0x18, 0x92}, 20)), 0x92, {0, 0, 0}, 0},
        {"id without a payload of its own", WithSum({0x02, 0x04, 0x77}), 0x77, {}, 0},
        {"wrong checksum", Frame({0x02, 0x14, 0x92}, 16, {0xC3}), 0, {}, ERROR_CRC},
        {"key matrix of 8 bytes", WithSum(Frame({0x02, 0x0C, 0x92}, 8)), 0, {}, ERROR_INVALID_DATA},
        {"identification of 11 bytes", WithSum(Frame({0x02, 0x0F, 0x90}, 11)), 0, {}, ERROR_INVALID_DATA},
        {"key matrix answer without payload", WithSum({0x02, 0x04, 0x91}), 0, {}, ERROR_INVALID_DATA},
    };
    Bytes earlier = {0x02, 0x14, 0x92};
    earlier.insert(earlier.end(), 16, 0xAA);
    earlier = WithSum(earlier);
    for (const auto& c : cases) {
        // Leftovers of an earlier frame must not pass for this one's payload.
        ASSERT_EQ(Feed(earlier), 1) << c.what;
        SetCommResult(13);
        ASSERT_EQ(Feed(c.wire), 1) << c.what;
        EXPECT_EQ(index, 0) << c.what;
        EXPECT_EQ(buffer[2], c.id) << c.what;
        if (!c.payloadStart.empty()) {
            EXPECT_EQ(Bytes(buffer + 3, buffer + 6), c.payloadStart) << c.what;
        }
        EXPECT_EQ(CommMonitor.ErrorCount, c.id ? 0u : 2u) << c.what << ": good frames report success";
        EXPECT_EQ(CommMonitor.LastError, c.id ? 13u : c.error) << c.what;
    }
}

TEST_F(Parser, RejectionsRestartAtTheNextByte)
{
    // Each case's errors: how many reports of 13 the rejected bytes make.
    struct Case { const char* what; Bytes wire; DWORD errors; } cases[] = {
        {"stray bytes", {0x41, 0xFF, 0x00}, 3}, {"node bits set", {0x02, 0x43}, 1}, {"length below 4", {0x02, 0x03}, 1},
        {"rejected Node/Len then stray", {0x02, 0x80, 0x41}, 2},
    };
    for (const auto& c : cases) {
        SetCommResult(0);
        index = 0;
        ASSERT_EQ(Feed(c.wire), 0) << c.what;
        EXPECT_EQ(CommMonitor.ErrorCount, c.errors) << c.what;
        EXPECT_EQ(CommMonitor.LastError, DWORD(ERROR_INVALID_DATA)) << c.what;
        ASSERT_EQ(Feed(Frame({0x02, 0x14, 0x92}, 16, {0xC2})), 1) << c.what;
        EXPECT_EQ(buffer[2], 0x92) << c.what;
    }
}

TEST(CommMonitor, ThresholdsAndClearing)
{
    struct Step { DWORD report; bool failed; DWORD lastError; };  // flag and error after the report
    struct Sequence { const char* what; DWORD threshold; std::vector<Step> steps; } sequences[] = {
        {"fourth failure raises at 3",
         3,
         {{13, false, 13}, {13, false, 13}, {13, false, 13}, {13, true, 13}, {0, false, 13}}},
        {"success restarts the count",
         3,
         {{23, false, 23}, {23, false, 23}, {0, false, 23}, {23, false, 23}, {23, false, 23}, {23, false, 23}}},
        {"first failure raises at 0", 0, {{0, false, 0}, {1460, true, 1460}, {0, false, 1460}, {5, true, 5}}},
        {"raised stays raised, newest code", 1, {{13, false, 13}, {13, true, 13}, {23, true, 23}, {1167, true, 1167}}},
    };
    for (const auto& sequence : sequences) {
        InitCommMonitor(sequence.threshold);
        for (std::size_t n = 0; n < sequence.steps.size(); ++n) {
            const Step& step = sequence.steps[n];
            SetCommResult(step.report);
            DWORD lastError = 0xDEAD;
            EXPECT_EQ(QueryCommError(&lastError) != 0, step.failed) << sequence.what << ", step " << n;
            EXPECT_EQ(lastError, step.lastError) << sequence.what << ", step " << n;
        }
        DeleteCommMonitor();
    }
}

}  // namespace
