// Cost of the link's frame coding and of the key injection's decoding, per
// frame and per record. The injection writes into the Linux layer's key
// journal, so its figure includes one journal line per key event.
#include "bench/bench_support.h"
#include "keyboard/keyboard.h"
#include "link/commands.h"
#include "link/link.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

// SendRequest's frame building without the write: the stuffed frame and its checksum.
int EncodeRequest(BYTE command, const BYTE* payload, BYTE length, BYTE* frame)
{
    int count = 0;
    frame[count++] = FrameStart;
    frame[count++] = static_cast<BYTE>(length + FrameOverhead);
    frame[count++] = command;
    for (int i = 0; i < length; ++i) {
        frame[count++] = payload[i];
        if (payload[i] == FrameStart)
            frame[count++] = 0x00;
    }
    frame[count] = FrameChecksum(frame, count, true);
    return count + 1;
}

// A KEYS response as the Keypanel sends it, with one stuffed 0x02 in the matrix.
std::vector<BYTE> KeysResponse()
{
    BYTE frame[3 + KeyMatrixSize] = {FrameStart, static_cast<BYTE>(KeyMatrixSize + FrameOverhead), ResponseKeys};
    frame[3] = 0x01;
    frame[8] = 0x02;
    std::vector<BYTE> wire;
    for (int i = 0; i < static_cast<int>(sizeof frame); ++i) {
        wire.push_back(frame[i]);
        if (i >= 3 && frame[i] == FrameStart)
            wire.push_back(0x00);
    }
    wire.push_back(FrameChecksum(frame, sizeof frame, false));
    return wire;
}

void FrameChecksumOfResponse(benchmark::State& state)
{
    BYTE frame[3 + KeyMatrixSize] = {FrameStart, static_cast<BYTE>(KeyMatrixSize + FrameOverhead), ResponseKeys, 0x01};
    for (auto _ : state) {
        benchmark::DoNotOptimize(frame);
        benchmark::DoNotOptimize(FrameChecksum(frame, sizeof frame, false));
    }
}
BENCHMARK(FrameChecksumOfResponse);

void EncodeKeysRequest(benchmark::State& state)
{
    BYTE frame[ReceiveBufferSize];
    for (auto _ : state) {
        benchmark::DoNotOptimize(EncodeRequest(CommandKeys, nullptr, 0, frame));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(EncodeKeysRequest);

void EncodeLedsRequest(benchmark::State& state)
{
    BYTE block[LedBlockSize];
    for (int i = 0; i < LedBlockSize; ++i)
        block[i] = static_cast<BYTE>(i % 4 == 0 ? 0x02 : 0xC3);  // fast blinks: stuffed bytes
    BYTE frame[ReceiveBufferSize];
    for (auto _ : state) {
        benchmark::DoNotOptimize(block);
        benchmark::DoNotOptimize(EncodeRequest(CommandLeds, block, LedBlockSize, frame));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(EncodeLedsRequest);

void DecodeKeysResponse(benchmark::State& state)
{
    const std::vector<BYTE> wire = KeysResponse();
    BYTE buffer[ReceiveBufferSize];
    long completed = 0;
    for (auto _ : state) {
        int index = 0;
        bool complete = false;
        for (BYTE b : wire)
            index = ParseResponseByte(b, buffer, ReceiveBufferSize, index, &complete);
        completed += complete && buffer[2] == ResponseKeys;
        benchmark::DoNotOptimize(buffer);
    }
    if (completed != static_cast<long>(state.iterations()))
        state.SkipWithError("the response was rejected");
}
BENCHMARK(DecodeKeysResponse);

// SendRequest and ReadResponse through the layer's serial port on a pty, the
// Keypanel's side answered from this thread: system calls included.
void KeysExchangeOverPty(benchmark::State& state)
{
    kplbench::TempDir dir;
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    termios raw{};
    tcgetattr(master, &raw);
    cfmakeraw(&raw);
    tcsetattr(master, TCSANOW, &raw);
    kplbench::WriteWholeFile(dir.File("machine.reg"), kplbench::MachineRegistry(dir, ptsname(master)));
    setenv("KPL_REGISTRY", dir.File("machine.reg").c_str(), 1);
    if (!OpenPort("COM3") || !ConfigurePort(19200, 0, 8, 0, 1000)) {
        state.SkipWithError("cannot open the port");
        close(master);
        return;
    }
    const std::vector<BYTE> wire = KeysResponse();
    long completed = 0;
    for (auto _ : state) {
        SendRequest(CommandKeys, nullptr, 0);
        BYTE request[8];
        for (ssize_t got = 0; got < FrameOverhead;) {
            ssize_t n = read(master, request + got, sizeof request - static_cast<size_t>(got));
            if (n <= 0)
                break;
            got += n;
        }
        if (write(master, wire.data(), wire.size()) != static_cast<ssize_t>(wire.size()))
            break;
        BYTE id = 0;
        const BYTE* payload = nullptr;
        completed += ReadResponse(&id, &payload) && id == ResponseKeys;
    }
    ClosePort();
    close(master);
    unsetenv("KPL_REGISTRY");
    if (completed != static_cast<long>(state.iterations()))
        state.SkipWithError("an exchange failed");
}
BENCHMARK(KeysExchangeOverPty);

// One make and one break record of the key A per iteration.
void SendKeySequenceMakeAndBreak(benchmark::State& state)
{
    kplbench::TempDir dir;
    kplbench::WriteWholeFile(dir.File("machine.reg"), kplbench::MachineRegistry(dir, "/dev/null"));
    setenv("KPL_REGISTRY", dir.File("machine.reg").c_str(), 1);
    const BYTE make[] = {0x1C};
    const BYTE release[] = {0xF0, 0x1C};
    for (auto _ : state) {
        SendKeySequence(make, sizeof make);
        SendKeySequence(release, sizeof release);
    }
    unsetenv("KPL_REGISTRY");
}
BENCHMARK(SendKeySequenceMakeAndBreak);

// Collects every repetition; main prints min / median / max of each as a row.
class Collector : public benchmark::BenchmarkReporter {
public:
    bool ReportContext(const Context&) override { return true; }
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.error_occurred) {
                failed = true;
                std::fprintf(stderr, "%s: %s\n", run.benchmark_name().c_str(), run.error_message.c_str());
                continue;
            }
            if (run.run_type != Run::RT_Iteration)
                continue;
            // Time units are nanoseconds unless a benchmark asks otherwise.
            auto& times = nanoseconds[run.run_name.function_name];
            times.push_back(run.GetAdjustedRealTime());
            if (static_cast<long>(times.size()) == run.repetitions)
                kplbench::Progress("%s: %zu runs", run.run_name.function_name.c_str(), times.size());
        }
    }
    std::map<std::string, std::vector<double>> nanoseconds;
    bool failed = false;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    struct Row {
        const char* name;
        const char* what;
        double divisor;
    };
    const Row rows[] = {
        {"FrameChecksumOfResponse", "FrameChecksum, 19-byte KEYS response", 1},
        {"EncodeKeysRequest", "encode KEYS request (4 bytes, checksum included)", 1},
        {"EncodeLedsRequest", "encode LEDS request (32-byte block, 8 bytes stuffed)", 1},
        {"DecodeKeysResponse", "decode KEYS response, ParseResponseByte x21", 1},
        {"KeysExchangeOverPty", "SendRequest + ReadResponse over a pty (syscalls included)", 1},
        {"SendKeySequenceMakeAndBreak", "SendKeySequence, per record (journal line included)", 2},
    };
    kplbench::SpreadNotes notes;
    std::printf("| operation | runs | min / median / max |\n|---|---:|---:|\n");
    for (const Row& row : rows) {
        auto found = collector.nanoseconds.find(row.name);
        if (found == collector.nanoseconds.end()) {
            std::printf("| %s | 0 | failed |\n", row.what);
            collector.failed = true;
            continue;
        }
        std::vector<double> perOperation;
        for (double time : found->second)
            perOperation.push_back(time / row.divisor);
        const kplbench::Spread spread = kplbench::SpreadOf(perOperation);
        notes.Check(row.what, spread);
        std::printf("| %s | %zu | %s |\n", row.what, perOperation.size(), kplbench::Durations(spread).c_str());
    }
    std::fputs(notes.Text().c_str(), stdout);
    benchmark::Shutdown();
    return collector.failed ? 1 : 0;
}
