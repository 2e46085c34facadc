// kplsim as its users run it: the slave path first, a hand-written IDENTIFY
// answered on the pseudo-terminal, LEDs shown, the script obeyed.
#include "tests/support/process.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <vector>

namespace {

using std::chrono::milliseconds;

// Reads what arrives within the time, up to `count` bytes.
std::vector<unsigned char> ReadBytes(int fd, std::size_t count, int timeoutMs)
{
    std::vector<unsigned char> bytes;
    while (bytes.size() < count) {
        pollfd wait{fd, POLLIN, 0};
        if (poll(&wait, 1, timeoutMs) <= 0)
            break;
        unsigned char b;
        if (read(fd, &b, 1) != 1)
            break;
        bytes.push_back(b);
    }
    return bytes;
}

TEST(Kplsim, AnswersOnItsPseudoTerminalAndShowsLeds)
{
    kpltest::TempDir dir;
    kpltest::WriteFile(dir.File("script"), "press 3\n");
    kpltest::Process sim({KPLSIM_EXE, "--script", dir.File("script"), "--link", dir.File("port"), "--version", "02.07", "--counts"});
    ASSERT_TRUE(sim.WaitForOutput("\n", milliseconds(10000))) << sim.Output();
    std::string slave = sim.Output().substr(0, sim.Output().find('\n'));
    EXPECT_EQ(slave.rfind("/dev/pts/", 0), 0u) << slave;

    int fd = open(dir.File("port").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    termios raw;
    ASSERT_EQ(tcgetattr(fd, &raw), 0);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &raw), 0);

    const unsigned char identify[] = {0x02, 0x04, 0x10, 0x20};
    ASSERT_EQ(write(fd, identify, sizeof identify), 4);
    auto answer = ReadBytes(fd, 16, 5000);
    const std::vector<unsigned char> expected = {0x02, 0x10, 0x90, 0x02, 0x00, 0x07, 'T', 'K', 'P', '1',
                                                 '0', 'K', 'E', 'Y', 0x40, 0x40};
    ASSERT_EQ(answer, expected);  // 0x02 of the version is stuffed
    ASSERT_EQ(ReadBytes(fd, 1, 5000).size(), 1u);  // its checksum

    // A STATUS with LED 0 lit and LED 9 lit.
    const unsigned char status[] = {0x02, 0x14, 0x11, 0x01, 0x02, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    std::vector<unsigned char> request(status, status + sizeof status);
    // Checksum as the sender computes it: 2s + b with a carry of 1, the
    // byte after a payload 0x02 and its stuffing byte left out.
    unsigned s = 0;
    for (std::size_t i = 0; i < request.size(); ++i) {
        unsigned t = 2 * s + request[i];
        s = t > 255 ? (t + 1) & 0xFF : t;
        if (request[i] == 0x02 && i >= 3)
            i += 2;
    }
    request.push_back(static_cast<unsigned char>(s == 0x02 ? 0xFD : s));
    ASSERT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    ASSERT_EQ(ReadBytes(fd, 3, 5000), (std::vector<unsigned char>{0x02, 0x14, 0x91}));
    ASSERT_TRUE(sim.WaitForOutput("STATUS #....... .#......", milliseconds(5000))) << sim.Output();
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(write(fd, identify, sizeof identify), 4);
        ReadBytes(fd, 17, 2000);
    }
    close(fd);
    sim.Signal(SIGTERM);
    int exitStatus = -1;
    ASSERT_TRUE(sim.Wait(milliseconds(10000), &exitStatus));
    EXPECT_EQ(exitStatus, 0);
    EXPECT_NE(sim.Output().find("requests: IDENTIFY 3, STATUS 1, KEYS 0, LEDS 0, other 0, rejected 0"),
              std::string::npos)
        << sim.Output();
}

}  // namespace
