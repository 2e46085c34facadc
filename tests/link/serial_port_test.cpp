// The serial port over a pseudo-terminal, through the Win32 calls the
// service makes: line settings, exclusive open, time-outs and a peer that
// goes away.
#include "link/link.h"
#include "service/service.h"
#include "tests/link/link_test_support.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

using linktest::Pty;
using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point start)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class SerialPort : public ::testing::Test {
protected:
    void SetUp() override { registry.Map("COM3", pty.SlavePath()); }
    void TearDown() override { ClosePort(); }

    Pty pty;
    linktest::PortRegistry registry;
};

TEST_F(SerialPort, DefaultConfigurationReadsBack)
{
    ASSERT_TRUE(OpenPort("COM3")) << GetLastError();
    ASSERT_TRUE(ConfigurePort(19200, 0, 8, 0, 1000)) << GetLastError();
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(PortHandle, &dcb));
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fDtrControl, unsigned(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fRtsControl, unsigned(RTS_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fOutxCtsFlow | dcb.fOutxDsrFlow | dcb.fOutX | dcb.fInX, 0u);
    COMMTIMEOUTS t{};
    ASSERT_TRUE(GetCommTimeouts(PortHandle, &t));
    EXPECT_EQ((std::vector<DWORD>{t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                                  t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant}),
              (std::vector<DWORD>{1000, 0, 1000, 10, 1000}));

    // What Linux was really told: raw 19200 8N1 without flow control.
    termios tio{};
    ASSERT_EQ(tcgetattr(pty.Master(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), speed_t(B19200));
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t(CS8));
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL), 0u);
}

TEST_F(SerialPort, ResponseTimeoutAndFlagWord)
{
    ASSERT_TRUE(OpenPort("COM3"));
    // Reserved bits and fields ConfigurePort does not own survive it.
    DCB dcb{};
    ASSERT_TRUE(GetCommState(PortHandle, &dcb));
    dcb.fDummy2 = 0x1ABCD;
    dcb.XonLim = 1234;
    dcb.EvtChar = 0x7E;
    ASSERT_TRUE(SetCommState(PortHandle, &dcb));

    for (auto [configured, applied] : {std::pair<DWORD, DWORD>{250, 250}, {0, 1000}, {1, 1}}) {
        ASSERT_TRUE(ConfigurePort(19200, 0, 8, 0, configured));
        COMMTIMEOUTS t{};
        ASSERT_TRUE(GetCommTimeouts(PortHandle, &t));
        EXPECT_EQ(t.ReadIntervalTimeout, applied) << configured;
        EXPECT_EQ(t.ReadTotalTimeoutConstant, applied) << configured;
        EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
        EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 10u);
        EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);
    }
    ASSERT_TRUE(GetCommState(PortHandle, &dcb));
    DWORD flags;
    std::memcpy(&flags, reinterpret_cast<const BYTE*>(&dcb) + 8, sizeof flags);
    EXPECT_EQ(flags, (0x1ABCDu << 15) | 0x1093u);
    EXPECT_EQ(dcb.XonLim, 1234);
    EXPECT_EQ(dcb.EvtChar, 0x7E);
}

TEST_F(SerialPort, LineSettingsLinuxCannotDoAreRefused)
{
    ASSERT_TRUE(OpenPort("COM3"));
    struct Case {
        DWORD baud;
        BYTE parity, byteSize, stopBits;
        bool ok;
    };
    // A pseudo-terminal carries 8-bit characters without parity only; the
    // rest is refused as a device without that setting refuses it.
    const Case cases[] = {
        {9600, NOPARITY, 8, TWOSTOPBITS, true},    {115200, NOPARITY, 8, ONESTOPBIT, true},
        {1200, NOPARITY, 8, ONESTOPBIT, true},     {19200, EVENPARITY, 8, ONESTOPBIT, false},
        {19200, NOPARITY, 7, ONESTOPBIT, false},   {14400, NOPARITY, 8, ONESTOPBIT, false},
        {0, NOPARITY, 8, ONESTOPBIT, false},       {19200, NOPARITY, 4, ONESTOPBIT, false},
        {19200, NOPARITY, 9, ONESTOPBIT, false},   {19200, 5, 8, ONESTOPBIT, false},
        {19200, NOPARITY, 8, ONE5STOPBITS, false}, {19200, NOPARITY, 8, 3, false},
    };
    for (const auto& c : cases) {
        SetLastError(0);
        EXPECT_EQ(ConfigurePort(c.baud, c.parity, c.byteSize, c.stopBits, 1000), c.ok)
            << c.baud << " " << int(c.parity) << " " << int(c.byteSize) << " " << int(c.stopBits);
        if (!c.ok) {
            EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
            continue;
        }
        DCB dcb{};
        ASSERT_TRUE(GetCommState(PortHandle, &dcb));
        EXPECT_EQ(dcb.BaudRate, c.baud);
        EXPECT_EQ(dcb.Parity, c.parity);
        EXPECT_EQ(dcb.ByteSize, c.byteSize);
        EXPECT_EQ(dcb.StopBits, c.stopBits);
    }
    DCB dcb{};
    ASSERT_TRUE(GetCommState(PortHandle, &dcb));
    dcb.fOutxDsrFlow = 1;
    EXPECT_FALSE(SetCommState(PortHandle, &dcb));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(SerialPort, OpenIsExclusiveAndMissingPortsAreNotFound)
{
    ASSERT_TRUE(OpenPort("COM3"));
    HANDLE second = CreateFileA("COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));

    // Another process is refused as well.
    std::fflush(stdout);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        HANDLE port = CreateFileA("COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        _exit(port == INVALID_HANDLE_VALUE ? static_cast<int>(GetLastError()) : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), ERROR_ACCESS_DENIED);

    ClosePort();
    ClosePort();
    EXPECT_EQ(PortHandle, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(OpenPort("COM3")) << "free again once closed";
    ClosePort();

    registry.Map("COM3", "/dev/kpl-no-such-device");
    for (const char* name : {"COM3", "COM200", "LPT1"}) {
        EXPECT_FALSE(OpenPort(name)) << name;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND)) << name;
        EXPECT_EQ(PortHandle, INVALID_HANDLE_VALUE);
        ClosePort();
    }
    DCB dcb{};
    EXPECT_FALSE(GetCommState(INVALID_HANDLE_VALUE, &dcb));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST_F(SerialPort, SilentPeerTimesOutAfterOneResponseTimeout)
{
    InitCommMonitor(3);
    ASSERT_TRUE(OpenPort("COM3"));
    ASSERT_TRUE(ConfigurePort(19200, 0, 8, 0, 200));
    BYTE id = 0xFF;
    const BYTE* payload = nullptr;
    auto start = Clock::now();
    EXPECT_FALSE(ReadResponse(&id, &payload));
    long elapsed = ElapsedMs(start);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_TIMEOUT));
    EXPECT_GE(elapsed, 190);
    EXPECT_LT(elapsed, 1500);
    RecordProperty("timeout_200ms_measured_ms", static_cast<int>(elapsed));
    EXPECT_EQ(CommMonitor.ErrorCount, 0u) << "a time-out is not reported";
    DeleteCommMonitor();
}

TEST_F(SerialPort, HungUpPeerGivesAnErrorNotAHang)
{
    InitCommMonitor(3);
    ASSERT_TRUE(OpenPort("COM3"));
    ASSERT_TRUE(ConfigurePort(19200, 0, 8, 0, 5000));
    pty.HangUp();
    BYTE id = 0;
    const BYTE* payload = nullptr;
    auto start = Clock::now();
    EXPECT_FALSE(ReadResponse(&id, &payload));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_LT(ElapsedMs(start), 2500) << "well before the 5 s time-out";
    EXPECT_FALSE(SendRequest(0x12, nullptr, 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_NOT_CONNECTED));
    DWORD lastError = 0;
    QueryCommError(&lastError);
    EXPECT_EQ(CommMonitor.ErrorCount, 2u);
    EXPECT_EQ(lastError, DWORD(ERROR_DEVICE_NOT_CONNECTED));
    DeleteCommMonitor();
}

TEST_F(SerialPort, WriteTimeoutEndsAWriteNobodyReads)
{
    ASSERT_TRUE(OpenPort("COM3"));
    COMMTIMEOUTS t{0, 0, 0, 0, 200};
    ASSERT_TRUE(SetCommTimeouts(PortHandle, &t));
    std::vector<BYTE> lots(4 << 20, 0x55);
    DWORD written = 0;
    auto start = Clock::now();
    EXPECT_TRUE(WriteFile(PortHandle, lots.data(), static_cast<DWORD>(lots.size()), &written, nullptr));
    long elapsed = ElapsedMs(start);
    EXPECT_LT(written, lots.size());
    EXPECT_GE(elapsed, 190);
    EXPECT_LT(elapsed, 3000);
}

}  // namespace
