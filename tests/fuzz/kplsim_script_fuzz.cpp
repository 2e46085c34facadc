// Script text and line bytes from anywhere: the simulator's parser accepts
// or refuses each line cleanly, and the model stays consistent.
#include "sim/keypanel_model.h"
#include "sim/keypanel_script.h"
#include "tests/fuzz/check.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    kplsim::KeypanelModel model;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        kplsim::ScriptCommand command;
        std::string error;
        if (kplsim::ParseScriptLine(text.substr(start, end - start), command, error)) {
            for (int key : command.keys)
                Check(key >= 0 && key < kplsim::KeyCount);
            Check(command.bytes.size() <= 256);
            kplsim::ApplyToModel(model, command);
        } else {
            Check(command.verb == kplsim::ScriptVerb::Nothing && !error.empty());
        }
        start = end + 1;
    }

    // The same bytes as a line: every exchange is counted once, and every
    // reply is one frame, the first after the stray bytes queued for it.
    std::size_t stray = model.CurrentFaults().garbage.size();
    std::vector<kplsim::Exchange> exchanges;
    model.Receive(data, size, exchanges);
    Check(model.TotalRequests() == exchanges.size());
    for (const auto& exchange : exchanges) {
        if (!exchange.answered)
            continue;
        Check(exchange.reply.size() >= stray + 4 && exchange.reply.size() <= stray + 3 + 2 * 16 + 1);
        Check(exchange.reply[stray] == 0x02);
        stray = 0;
    }
    return 0;
}
