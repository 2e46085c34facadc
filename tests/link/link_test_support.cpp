#include "tests/link/link_test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace linktest {

PortRegistry::PortRegistry() : env_("KPL_REGISTRY", dir_.File("machine.reg"))
{
    kpltest::WriteFile(dir_.File("machine.reg"), "Windows Registry Editor Version 5.00\r\n");
}

void PortRegistry::Map(const std::string& port, const std::string& device)
{
    kpltest::WriteFile(dir_.File("machine.reg"),
                       "Windows Registry Editor Version 5.00\r\n\r\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost\\Ports]\r\n\"" +
                           port + "\"=\"" + device + "\"\r\n");
}

Pty::Pty()
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name) != 0)
        throw std::runtime_error("no pseudo-terminal");
    slave_ = name;
    termios tio{};
    tcgetattr(master_, &tio);
    cfmakeraw(&tio);
    tcsetattr(master_, TCSANOW, &tio);
}

Pty::~Pty()
{
    HangUp();
}

void Pty::HangUp()
{
    if (master_ >= 0)
        close(master_);
    master_ = -1;
}

void Pty::Send(const Bytes& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t put = write(master_, bytes.data() + sent, bytes.size() - sent);
        if (put <= 0)
            throw std::runtime_error("pseudo-terminal write failed");
        sent += static_cast<std::size_t>(put);
    }
}

Bytes Pty::Receive(std::size_t count, int timeoutMs)
{
    Bytes bytes;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (bytes.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd entry{master_, POLLIN, 0};
        if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) <= 0)
            break;
        std::uint8_t chunk[256];
        ssize_t got = read(master_, chunk, std::min(sizeof chunk, count - bytes.size()));
        if (got <= 0)
            break;
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    return bytes;
}

ServedKeypanel::ServedKeypanel(kplsim::Identity identity) : model(std::move(identity))
{
    std::string error;
    if (!line_.OpenPty(error))
        throw std::runtime_error(error);
    server_ = std::thread([this] {
        std::string ignored;
        line_.Serve(model, nullptr, ignored);
    });
}

ServedKeypanel::~ServedKeypanel()
{
    if (server_.joinable()) {
        line_.Stop();
        server_.join();
    }
}

void ServedKeypanel::HangUp()
{
    line_.Stop(true);
    server_.join();
    server_ = std::thread();
}

LinkSession::LinkSession(const std::string& device, DWORD responseTimeout, DWORD errorRetries)
{
    InitCommMonitor(errorRetries);
    registry_.Map("COM3", device);
    opened = OpenPort("COM3") && ConfigurePort(19200, 0, 8, 0, responseTimeout);
}

LinkSession::~LinkSession()
{
    ClosePort();
    DeleteCommMonitor();
}

}  // namespace linktest
