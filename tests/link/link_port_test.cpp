// The link over a real pseudo-terminal, through the Win32 calls the service
// makes: line settings, a read from a peer that hung up, requests byte for
// byte on the wire, responses from raw bytes. Time-outs are the scenarios'
// (cable_pulled, link_failure, missed_answers), settings the port
// refuses config_values.scn's, a port in use the admin check's second
// instance.
#include "link/commands.h"
#include "link/link.h"
#include "sim/keypanel_line.h"
#include "tests/link/frames.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point start)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// What the Keypanel's end of the line received within the time, at most count bytes.
Bytes Receive(int fd, std::size_t count, int timeoutMs)
{
    Bytes bytes(count);
    std::size_t got = 0;
    kpltest::WaitUntil([&] {
        ssize_t n = read(fd, bytes.data() + got, count - got);
        got += n > 0 ? static_cast<std::size_t>(n) : 0;
        return got == count;
    }, std::chrono::milliseconds(timeoutMs));
    bytes.resize(got);
    return bytes;
}

std::vector<DWORD> Timeouts()
{
    COMMTIMEOUTS t{};
    EXPECT_TRUE(GetCommTimeouts(PortHandle, &t));
    return {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
            t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
}

// "COM3" mapped to the pseudo-terminal in a registry of its own, with a
// fresh monitor.
class Line : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(line.OpenPty(error)) << error;
        InitCommMonitor(3);
        dir.WriteRegistry({}, {{"COM3", line.Path()}});
    }
    void TearDown() override
    {
        ClosePort();
        DeleteCommMonitor();
    }
    bool Open(DWORD responseTimeout) { return OpenPort("COM3") && ConfigurePort(19200, 0, 8, 0, responseTimeout); }
    // The next response's id, 0xEE when the read failed.
    BYTE Read(Bytes* answer = nullptr)
    {
        BYTE id = 0;
        const BYTE* data = nullptr;
        if (!ReadResponse(&id, &data))
            return 0xEE;
        if (answer != nullptr)
            answer->assign(data, data + ResponsePayloadLength(id));
        return id;
    }

    kpltest::TempMachine dir;
    kplsim::KeypanelLine line;
};

TEST_F(Line, DefaultConfigurationReadsBack)
{
    ASSERT_TRUE(OpenPort("COM3")) << GetLastError();
    // Reserved bits and fields ConfigurePort does not own survive it.
    DCB dcb{};
    ASSERT_TRUE(GetCommState(PortHandle, &dcb));
    dcb.fDummy2 = 0x1ABCD;
    dcb.XonLim = 1234;
    ASSERT_TRUE(SetCommState(PortHandle, &dcb));
    ASSERT_TRUE(ConfigurePort(19200, 0, 8, 0, 1000)) << GetLastError();
    dcb = DCB{};
    ASSERT_TRUE(GetCommState(PortHandle, &dcb));
    EXPECT_EQ((std::vector<DWORD>{dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits}),
              (std::vector<DWORD>{19200, 8, NOPARITY, ONESTOPBIT}));
    // Binary, DTR and RTS enabled, no flow control, reserved bits kept.
    DWORD flags;
    std::memcpy(&flags, reinterpret_cast<const BYTE*>(&dcb) + 8, sizeof flags);
    EXPECT_EQ(flags, (0x1ABCDu << 15) | 0x1093u);
    EXPECT_EQ(dcb.XonLim, 1234);

    // What Linux was really told: raw 19200 8N1 without flow control.
    termios tio{};
    ASSERT_EQ(tcgetattr(line.Fd(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), speed_t(B19200));
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t(CS8));
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL), 0u);

    // A response time-out of 0 would mean waiting for ever: the default stands
    // in. Longer ones are read in equal slices of at most a second; the whole
    // response may take the wire time of 252 bytes more, 10 bits each at 8N1.
    struct Case { DWORD configured, slice, deadline; } cases[] = {
        {1000, 1000, 1132}, {2500, 834, 2632}, {0, 1000, 1132}, {1, 1, 133}};
    for (const auto& c : cases) {
        ASSERT_TRUE(ConfigurePort(19200, 0, 8, 0, c.configured));
        EXPECT_EQ(Timeouts(), (std::vector<DWORD>{c.slice, 0, c.slice, 10, 1000})) << c.configured;
        EXPECT_EQ(ResponseDeadline, c.deadline) << c.configured;
    }
    // A pty takes 8N1 only: parity and the stop bits count the same way.
    EXPECT_EQ(ResponseDeadlineFor(19200, EVENPARITY, 7, TWOSTOPBITS, 1000), 1145u);
    EXPECT_EQ(ResponseDeadlineFor(19200, NOPARITY, 5, ONE5STOPBITS, 1000), 1105u);
}

// A peer that hung up fails a read at once, and the monitor counts it; the
// service's polls mostly meet a hang-up at the write (hangup.scn).
TEST_F(Line, AHungUpPeerFailsAReadAtOnceReported)
{
    ASSERT_TRUE(Open(5000));
    const int devNull = open("/dev/null", O_RDWR);
    ASSERT_EQ(dup2(devNull, line.Fd()), line.Fd());  // the Keypanel's end closed, its number kept for the line
    close(devNull);
    const auto start = Clock::now();
    EXPECT_EQ(Read(), 0xEE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_LT(ElapsedMs(start), 2500) << "well before the 5 s time-out";
    EXPECT_EQ(CommMonitor.ErrorCount, 1u);
}

TEST_F(Line, RequestsOnTheWire)
{
    ASSERT_TRUE(Open(300));
    Bytes ledsWithStx = Frame({0x02}, 31), zeros32(32, 0);
    struct Case { const char* what; BYTE command; const Bytes* payload; BYTE length; Bytes wire; } cases[] = {
        {"IDENTIFY", CommandIdentify, nullptr, 0, {0x02, 0x04, 0x10, 0x20}},
        {"LEDS off", CommandLeds, &zeros32, 32, Frame({0x02, 0x24, 0x13}, 32, {0x63})},
        {"LEDS 02 first", CommandLeds, &ledsWithStx, 32, Frame({0x02, 0x24, 0x13, 0x02, 0x00}, 31, {0x32})},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(SendRequest(c.command, c.payload ? c.payload->data() : nullptr, c.length)) << c.what;
        EXPECT_EQ(Receive(line.Fd(), c.wire.size() + 1, 150), c.wire) << c.what;
    }
    EXPECT_EQ(CommMonitor.ErrorCount, 0u);
}

TEST_F(Line, ResponsesFromRawBytesAndABabblingLine)
{
    ASSERT_TRUE(Open(300));
    // Stray bytes first, and a second frame that waits for the next read.
    Bytes wire = Frame({0x41, 0x00, 0x02, 0x14, 0x92, 0x80}, 15, {0x82, 0x02, 0x14, 0x91});
    line.SendUnasked(Frame(wire, 16, {0xC1}));
    Bytes payload;
    ASSERT_EQ(Read(&payload), 0x92);
    EXPECT_EQ(payload, Frame({0x80}, 15));
    EXPECT_EQ(CommMonitor.ErrorCount, 0u);
    EXPECT_EQ(CommMonitor.LastError, DWORD(ERROR_INVALID_DATA));
    ASSERT_EQ(Read(&payload), 0x91);
    EXPECT_EQ(payload, Frame({}, 16));

    // Stray bytes do not cut a valid frame that follows them.
    line.SendUnasked(Frame(Bytes(240, 0x41), 0, Frame({0x02, 0x14, 0x92}, 16, {0xC2})));
    ASSERT_EQ(Read(&payload), 0x92);
    EXPECT_EQ(payload, Frame({}, 16));

    // A line that never completes a frame gives up on bytes, not on a time-out.
    line.SendUnasked(Bytes(300, 0x41));
    auto start = Clock::now();
    EXPECT_EQ(Read(), 0xEE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_DATA));
    EXPECT_LT(ElapsedMs(start), 250);
    EXPECT_EQ(CommMonitor.ErrorCount, DWORD(MaxResponseBytes));
    // The rest stays queued: 48 more rejects, then silence.
    EXPECT_EQ(Read(), 0xEE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_TIMEOUT));
    EXPECT_EQ(CommMonitor.ErrorCount, 300u);

    // Start bytes with a bad length count as much as any other stray byte.
    Bytes starts;
    for (int i = 0; i < 150; ++i)
        starts.insert(starts.end(), {0x02, 0x00});
    line.SendUnasked(starts);
    EXPECT_EQ(Read(), 0xEE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_DATA));
    EXPECT_EQ(Read(), 0xEE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_TIMEOUT));
}

// A line that keeps sending but completes no frame within the deadline is
// there and unintelligible, not silent. The frame the deadline cut off is
// dropped with its rest, which is not read as stray bytes.
TEST_F(Line, AFrameTheDeadlineCutOffIsDroppedWithItsRest)
{
    ASSERT_TRUE(Open(300));  // a deadline of 300 ms and the wire time, 432 ms
    const Bytes frame = Frame({0x02, 0x14, 0x92}, 16, {0xC2});
    std::thread trickle([&] {
        for (std::size_t i = 0; i < 8; ++i) {
            line.SendUnasked(Bytes{frame[i]});
            std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the line's pace
        }
    });
    EXPECT_EQ(Read(), 0xEE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_DATA));
    trickle.join();
    // The rest and the next frame in one read: the frame after the rest is kept.
    SetCommResult(ERROR_CRC);
    line.SendUnasked(Frame(Bytes(frame.begin() + 8, frame.end()), 0, Frame({0x02, 0x14, 0x91}, 16, {0xC1})));
    EXPECT_EQ(Read(), 0x91);
    EXPECT_EQ(CommMonitor.LastError, DWORD(ERROR_CRC)) << "the rest was read as stray bytes";
}

}  // namespace
