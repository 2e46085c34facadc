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

    // In the header 0x02 is summed like any byte.
    EXPECT_NE(Sum({0x02, 0x04, 0x02, 0x00}, false), Sum({0x02, 0x04, 0x02, 0x77}, false));
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

TEST_F(Parser, VerdictAndReportOnEachFrame)
{
    // Id 0: nothing handed out, and one more report after the 13 before it.
    struct Case { const char* what; Bytes wire; BYTE id; DWORD error; } cases[] = {
        {"stuffed 02 00 55", Frame({0x02, 0x14, 0x92, 0x02, 0x00, 0x55}, 14, {0xE1}), 0x92, 13},
        {"wrong checksum", Frame({0x02, 0x14, 0x92}, 16, {0xC3}), 0, ERROR_CRC},
        {"key matrix of 8 bytes", WithSum(Frame({0x02, 0x0C, 0x92}, 8)), 0, ERROR_INVALID_DATA},
        {"identification of 11 bytes", WithSum(Frame({0x02, 0x0F, 0x90}, 11)), 0, ERROR_INVALID_DATA},
        {"node bits set", {0x02, 0x43}, 0, ERROR_INVALID_DATA},
        {"length below 4", {0x02, 0x03}, 0, ERROR_INVALID_DATA},
    };
    Bytes earlier = WithSum(Frame({0x02, 0x14, 0x92}, 0, Bytes(16, 0xAA)));
    for (const auto& c : cases) {
        // Leftovers of an earlier frame must not pass for this one's payload,
        // and a rejection restarts at the next byte.
        ASSERT_EQ(Feed(earlier), 1) << c.what;
        SetCommResult(13);
        const BYTE id = Feed(c.wire) ? buffer[2] : 0;
        EXPECT_EQ(index, 0) << c.what;
        EXPECT_EQ(id, c.id) << c.what;
        if (id != 0) {
            EXPECT_EQ(Bytes(buffer + 3, buffer + 6), (Bytes{0x02, 0x55, 0x00})) << c.what;
        }
        EXPECT_EQ(CommMonitor.ErrorCount, c.id ? 0u : 2u) << c.what << ": good frames report success";
        EXPECT_EQ(CommMonitor.LastError, c.error) << c.what;
    }
    EXPECT_EQ(Feed(earlier), 1);
}

TEST(CommMonitor, ThresholdsAndClearing)
{
    struct Step { DWORD report; bool failed; DWORD lastError; };  // flag and error after the report
    struct Sequence { DWORD threshold; std::vector<Step> steps; } sequences[] = {
        // Success restarts the count; the fourth failure in a row raises at 3.
        {3, {{13, false, 13}, {13, false, 13}, {0, false, 13}, {23, false, 23}, {23, false, 23}, {23, false, 23},
             {23, true, 23}, {0, false, 23}}},
        // At 0 the first failure raises; raised, the newest code is kept.
        {0, {{0, false, 0}, {1460, true, 1460}, {5, true, 5}, {0, false, 5}}},
    };
    for (const auto& sequence : sequences) {
        InitCommMonitor(sequence.threshold);
        for (std::size_t n = 0; n < sequence.steps.size(); ++n) {
            const Step& step = sequence.steps[n];
            SetCommResult(step.report);
            DWORD lastError = 0xDEAD;
            EXPECT_EQ(QueryCommError(&lastError) != 0, step.failed) << sequence.threshold << ", step " << n;
            EXPECT_EQ(lastError, step.lastError) << sequence.threshold << ", step " << n;
        }
        DeleteCommMonitor();
    }
}

}  // namespace
