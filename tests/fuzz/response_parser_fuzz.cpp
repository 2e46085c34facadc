// Response bytes from a hostile line: the parser never leaves its buffer,
// and the monitor's flag always matches its count.
#include "link/commands.h"
#include "link/link.h"
#include "tests/fuzz/check.h"

#include <cstddef>
#include <cstdint>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const bool ready = [] {
        InitCommMonitor(3);
        return true;
    }();
    (void)ready;
    if (size < 2)
        return 0;
    SetCommResult(0);
    CommMonitor.Threshold = data[0] % 8;
    // Small buffers too, so that the index check is reached; exactly sized
    // so that the sanitizer sees any byte written past the end.
    int bufferSize = data[1] < 128 ? ReceiveBufferSize : 1 + data[1] % 64;
    auto buffer = std::make_unique<BYTE[]>(static_cast<std::size_t>(bufferSize));
    int index = 0;
    for (std::size_t i = 2; i < size; ++i) {
        bool complete = false;
        index = ParseResponseByte(data[i], buffer.get(), bufferSize, index, &complete);
        Check(index >= 0 && index <= bufferSize);
        Check(CommMonitor.Failed == (CommMonitor.ErrorCount > CommMonitor.Threshold ? 1u : 0u));
        if (complete) {
            Check(index == 0);
            int length = buffer[1] & LengthMask;
            Check(length >= FrameOverhead && length - 1 < bufferSize);
            if (buffer[2] != 0) {
                // Handed out: a good frame, long enough for its id.
                Check(CommMonitor.ErrorCount == 0 && CommMonitor.Failed == 0);
                Check(length - FrameOverhead >= ResponsePayloadLength(buffer[2]));
                Check(buffer[length - 1] == FrameChecksum(buffer.get(), length - 1, false));
            }
        }
    }
    return 0;
}
