// The Keypanel of a scenario: kplsim on a pseudo-terminal, fed its script a
// line at a time, every request it received read back from its trace.
#pragma once

#include "tests/support/process.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace scenario {

struct Request {
    std::uint8_t id = 0;  // 0x10 IDENTIFY, 0x11 STATUS, 0x12 KEYS, 0x13 LEDS
    std::vector<std::uint8_t> payload;
};

class Keypanel {
public:
    bool Start(const std::string& kplsim, const std::vector<std::string>& options, std::string& error);
    const std::string& Path() const { return path_; }
    bool Send(const std::string& line);
    // Every request so far, in order.
    const std::vector<Request>& Requests();
    // kplsim's complaints (lines "kplsim: ...").
    std::string Errors();
    void Quit();

private:
    void Read();
    std::unique_ptr<kpltest::Process> process_;
    std::string path_;
    std::size_t parsed_ = 0;  // output taken so far
    std::string pending_;     // of it, a line not yet complete
    std::vector<Request> requests_;
    std::string errors_;
};

}  // namespace scenario
