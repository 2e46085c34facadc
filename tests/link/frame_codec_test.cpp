// The frame codec without a port: checksum and response parser byte by byte,
// with the monitor reports and debug lines they produce.
#include "link/commands.h"
#include "link/link.h"
#include "service/service.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

Bytes Frame(std::initializer_list<BYTE> head, int zeros, std::initializer_list<BYTE> tail = {})
{
    Bytes bytes(head);
    bytes.insert(bytes.end(), zeros, 0x00);
    bytes.insert(bytes.end(), tail);
    return bytes;
}

BYTE Sum(const Bytes& bytes, bool stuffed)
{
    return FrameChecksum(bytes.data(), static_cast<int>(bytes.size()), stuffed);
}

// A de-stuffed frame with its good checksum appended.
Bytes WithSum(Bytes frame)
{
    frame.push_back(Sum(frame, false));
    return frame;
}

TEST(FrameChecksum, WireExamples)
{
    struct Case {
        const char* what;
        Bytes frame;
        bool stuffed;
        BYTE expected;
    };
    const Case cases[] = {
        {"IDENTIFY request", {0x02, 0x04, 0x10}, true, 0x20},
        {"KEYS request", {0x02, 0x04, 0x12}, true, 0x22},
        {"STATUS, all dark", Frame({0x02, 0x14, 0x11}, 16), true, 0x41},
        {"LEDS, all off", Frame({0x02, 0x24, 0x13}, 32), true, 0x63},
        {"LEDS, first byte 0x02, stuffed", Frame({0x02, 0x24, 0x13, 0x02, 0x00}, 31), true, 0x32},
        {"STATUS response", Frame({0x02, 0x14, 0x91}, 16), false, 0xC1},
        {"KEYS response", Frame({0x02, 0x14, 0x92}, 16), false, 0xC2},
        {"LEDS response", Frame({0x02, 0x14, 0x93}, 16), false, 0xC3},
        {"de-stuffed 02 55 leaves 55 out", Frame({0x02, 0x14, 0x92, 0x02, 0x55}, 14), false, 0xE1},
        // 2*FF + FF = 765: the carry added is 1, not 2.
        {"carry of exactly 1", {0xFF, 0xFF}, false, 0xFE},
        {"a sum of 0x02 is sent as 0xFD", {0x02}, false, 0xFD},
        {"nothing to sum", {}, false, 0x00},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Sum(c.frame, c.stuffed), c.expected) << c.what;
}

TEST(FrameChecksum, ByteAfterPayloadStxIsLeftOutOnBothSides)
{
    // An isolated 0x02: the sender's stuffed frame and the receiver's
    // de-stuffed frame agree, whatever the byte after the 0x02 is.
    for (BYTE after : {0x00, 0x55, 0xFF}) {
        Bytes wire = Frame({0x02, 0x14, 0x11, 0x02, 0x00, after}, 14);
        Bytes plain = Frame({0x02, 0x14, 0x11, 0x02, after}, 14);
        EXPECT_EQ(Sum(wire, true), Sum(plain, false)) << int(after);
        EXPECT_EQ(Sum(plain, false), Sum(Frame({0x02, 0x14, 0x11, 0x02, 0x00}, 14), false)) << int(after);
    }
    // 0x02 in the header is summed like any byte.
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
    void SetUp() override
    {
        DebugMode = 0;
        InitCommMonitor(3);
    }
    void TearDown() override
    {
        DebugMode = 0;
        DeleteCommMonitor();
    }

    // Feeds bytes; returns how many frames completed, keeps the last index.
    int Feed(const Bytes& bytes, int bufferSize = ReceiveBufferSize)
    {
        int completed = 0;
        for (BYTE value : bytes) {
            bool complete = false;
            index = ParseResponseByte(value, buffer, bufferSize, index, &complete);
            EXPECT_GE(index, 0);
            EXPECT_LE(index, bufferSize);
            completed += complete;
        }
        return completed;
    }

    DWORD LastError()
    {
        DWORD error = 0;
        QueryCommError(&error);
        return error;
    }

    BYTE buffer[ReceiveBufferSize] = {};
    int index = 0;
};

TEST_F(Parser, AcceptsResponsesAndDropsTheByteAfterPayloadStx)
{
    struct Case {
        const char* what;
        Bytes wire;
        BYTE id;
        Bytes payloadStart;
    };
    const Case cases[] = {
        {"all-zero KEYS answer", Frame({0x02, 0x14, 0x92}, 16, {0xC2}), 0x92, {0, 0, 0}},
        {"stuffed 02 00 55", Frame({0x02, 0x14, 0x92, 0x02, 0x00, 0x55}, 14, {0xE1}), 0x92, {0x02, 0x55, 0x00}},
        // The dropped byte need not be the 0x00 a sender writes.
        {"stuffing byte not 00", Frame({0x02, 0x14, 0x92, 0x02, 0x7E, 0x55}, 14, {0xE1}), 0x92, {0x02, 0x55, 0x00}},
        {"id 0x02 is no payload", WithSum(Frame({0x02, 0x14, 0x02}, 16)), 0x02, {0, 0, 0}},
    };
    for (const auto& c : cases) {
        SetCommResult(13);
        index = 0;
        ASSERT_EQ(Feed(c.wire), 1) << c.what;
        EXPECT_EQ(index, 0) << c.what;
        EXPECT_EQ(buffer[2], c.id) << c.what;
        EXPECT_EQ(Bytes(buffer + 3, buffer + 6), c.payloadStart) << c.what;
        EXPECT_EQ(CommMonitor.ErrorCount, 0u) << c.what << ": a good frame reports success";
    }
}

TEST_F(Parser, RejectionsRestartAtTheNextByte)
{
    struct Case {
        const char* what;
        Bytes wire;
        DWORD errors;  // reports of 13 before the good frame
    };
    const Bytes good = Frame({0x02, 0x14, 0x92}, 16, {0xC2});
    const Case cases[] = {
        {"stray bytes", {0x41, 0xFF, 0x00}, 3},
        {"node bits set", {0x02, 0x43}, 1},
        {"length below 4", {0x02, 0x03}, 1},
        {"rejected Node/Len then stray", {0x02, 0x80, 0x41}, 2},
    };
    for (const auto& c : cases) {
        SetCommResult(0);
        index = 0;
        Bytes wire = c.wire;
        wire.insert(wire.end(), good.begin(), good.end());
        ASSERT_EQ(Feed(Bytes(wire.begin(), wire.end() - static_cast<long>(good.size()))), 0) << c.what;
        EXPECT_EQ(CommMonitor.ErrorCount, c.errors) << c.what;
        EXPECT_EQ(LastError(), DWORD(ERROR_INVALID_DATA)) << c.what;
        ASSERT_EQ(Feed(good), 1) << c.what;
        EXPECT_EQ(buffer[2], 0x92) << c.what;
    }
}

TEST_F(Parser, WrongChecksumAndShortFramesComeBackWithIdZero)
{
    struct Case {
        const char* what;
        Bytes wire;
        DWORD code;
    };
    Bytes shortKeys = WithSum(Frame({0x02, 0x0C, 0x92}, 8));
    Bytes shortIdentify = WithSum(Frame({0x02, 0x0F, 0x90}, 11));
    Bytes emptyKeys = WithSum({0x02, 0x04, 0x91});
    Bytes earlier = {0x02, 0x14, 0x92};
    earlier.insert(earlier.end(), 16, 0xAA);
    earlier = WithSum(earlier);
    const Case cases[] = {
        {"wrong checksum", Frame({0x02, 0x14, 0x92}, 16, {0xC3}), ERROR_CRC},
        {"key matrix of 8 bytes", shortKeys, ERROR_INVALID_DATA},
        {"identification of 11 bytes", shortIdentify, ERROR_INVALID_DATA},
        {"key matrix answer without payload", emptyKeys, ERROR_INVALID_DATA},
    };
    for (const auto& c : cases) {
        // Leftovers of an earlier frame must not pass for the short one's payload.
        Feed(earlier);
        ASSERT_EQ(buffer[2], 0x92) << c.what;
        ASSERT_EQ(Feed(c.wire), 1) << c.what;
        EXPECT_EQ(buffer[2], 0) << c.what;
        EXPECT_EQ(LastError(), c.code) << c.what;
        EXPECT_EQ(CommMonitor.ErrorCount, 1u) << c.what;
        SetCommResult(0);
    }
    // Longer than required, or an id with no payload of its own, is fine.
    for (const auto& frame : {WithSum(Frame({0x02, 0x18, 0x92}, 20)), WithSum({0x02, 0x04, 0x77})}) {
        ASSERT_EQ(Feed(frame), 1);
        EXPECT_NE(buffer[2], 0);
        EXPECT_EQ(CommMonitor.ErrorCount, 0u);
    }
}

TEST_F(Parser, DebugLinesAreExact)
{
    DebugMode = 1;
    struct Case {
        const char* what;
        Bytes wire;
        std::string expected;
    };
    const Case cases[] = {
        {"stray byte", {0x41}, "Communication error: 13 (0000000dh)\nInvalid STX: 41h instead of 02h\n"},
        {"bad Node/Len", {0x02, 0x43}, "Communication error: 13 (0000000dh)\nInvalid Node/Len: 43\n"},
        {"good frame", Frame({0x02, 0x14, 0x92}, 16, {0xC2}), ""},
        {"wrong checksum", Frame({0x02, 0x14, 0x92}, 16, {0xC3}),
         "Communication error: 23 (00000017h)\n<< 19 bytes read: 02 14 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
         "00 00 c3 \n"},
    };
    for (const auto& c : cases) {
        index = 0;
        ::testing::internal::CaptureStdout();
        Feed(c.wire);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.expected) << c.what;
    }
    ::testing::internal::CaptureStdout();
    bool complete = false;
    ParseResponseByte(0x02, buffer, 5, 5, &complete);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Communication error: 13 (0000000dh)\nInvalid Index: 5 >= buffer size 5\n");

    DebugMode = 0;
    ::testing::internal::CaptureStdout();
    index = 0;
    Feed({0x41, 0x02, 0x43});
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

TEST(CommandSet, NamesIdsAndLayouts)
{
    EXPECT_STREQ(CommandName(CommandIdentify), "IDENTIFY");
    EXPECT_STREQ(CommandName(CommandStatus), "STATUS");
    EXPECT_STREQ(CommandName(CommandKeys), "KEYS");
    EXPECT_STREQ(CommandName(CommandLeds), "LEDS");
    EXPECT_EQ(CommandName(0x90), nullptr);
    EXPECT_EQ(ResponsePayloadLength(ResponseIdentify), 12);
    for (BYTE id : {ResponseStatus, ResponseKeys, ResponseLeds})
        EXPECT_EQ(ResponsePayloadLength(id), 16);

    BYTE block[LedBlockSize] = {};
    SetLedState(block, 5, LedFastBlink);
    EXPECT_EQ(block[1], 0x08);
    SetLedState(block, 5, LedOff);
    SetLedState(block, 0, LedOn);
    EXPECT_EQ(Bytes(block, block + 2), (Bytes{0x03, 0x00}));
    BYTE pattern[LedPatternSize] = {};
    SetLedLit(pattern, 9, true);
    EXPECT_EQ(Bytes(pattern, pattern + 2), (Bytes{0x00, 0x02}));
}

}  // namespace
