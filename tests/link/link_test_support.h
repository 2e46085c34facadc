// Pseudo-terminals as serial lines for the link's tests: the slave is the
// port the service opens as "COM3", the master the Keypanel's end.
#pragma once

#include "link/link.h"
#include "sim/keypanel_line.h"
#include "tests/support/test_support.h"

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace linktest {

using Bytes = std::vector<std::uint8_t>;

// Maps a port name to a device path in a registry of its own.
class PortRegistry {
public:
    PortRegistry();
    void Map(const std::string& port, const std::string& device);

private:
    kpltest::TempDir dir_;
    kpltest::ScopedEnv env_;
};

// A bare pseudo-terminal: the test plays the Keypanel byte by byte.
class Pty {
public:
    Pty();
    ~Pty();
    const std::string& SlavePath() const { return slave_; }
    int Master() const { return master_; }
    void Send(const Bytes& bytes);
    // What arrives within the time, at most count bytes.
    Bytes Receive(std::size_t count, int timeoutMs = 2000);
    void HangUp();

private:
    int master_ = -1;
    std::string slave_;
};

// The Keypanel model served on a pseudo-terminal from a thread of its own.
class ServedKeypanel {
public:
    explicit ServedKeypanel(kplsim::Identity identity = {});
    ~ServedKeypanel();
    kplsim::KeypanelModel model;
    const std::string& SlavePath() const { return line_.Path(); }
    void HangUp();

private:
    kplsim::KeypanelLine line_;
    std::thread server_;
};

// The port opened and configured as the service does, with a fresh monitor.
class LinkSession {
public:
    LinkSession(const std::string& device, DWORD responseTimeout, DWORD errorRetries = 3);
    ~LinkSession();
    bool opened = false;

private:
    PortRegistry registry_;
};

}  // namespace linktest
