// kplsim: a Keypanel on a pseudo-terminal (or a serial device), driven by a
// script, showing the LEDs it is sent.
#include "sim/keypanel_line.h"
#include "sim/keypanel_script.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

const char Usage[] =
    "usage: kplsim [options]\n"
    "Simulates a Keypanel on a serial line: answers IDENTIFY, STATUS, KEYS and LEDS\n"
    "with its identification and key matrix, shows the LEDs it is sent, and runs a\n"
    "script of key presses and faults.\n"
    "\n"
    "  --device PATH    serve on this serial device instead of a new pseudo-terminal\n"
    "  --link PATH      make PATH a symbolic link to the pseudo-terminal's slave\n"
    "                   (removed at exit)\n"
    "  --script FILE    read the script from FILE; default standard input\n"
    "  --version VV.VV  identification version (default 01.23)\n"
    "  --type TEXT      identification type, up to 8 characters (default TKP10KEY)\n"
    "  --keys N         identification key count, 0 to 255 (default 64)\n"
    "  --leds N         identification LED count, 0 to 255 (default 64); also how\n"
    "                   many LEDs are shown (at most 128)\n"
    "  --quiet          do not show the LEDs\n"
    "  --trace          print every request and reply in hexadecimal\n"
    "  --counts         print the request counts at exit\n"
    "  --help           print this text\n"
    "\n"
    "Output (standard output, one line each):\n"
    "  the first line is the path of the serial line to open (the slave);\n"
    "  'SECONDS LEDS   ...' for each new LED block: . off, s slow, f fast, # on;\n"
    "  'SECONDS STATUS ...' for each new LED pattern: # lit, . dark;\n"
    "  '> HEX' for a request and '< HEX' for a reply with --trace;\n"
    "  'requests: IDENTIFY n, STATUS n, KEYS n, LEDS n, other n, rejected n' for\n"
    "  'counts' and at exit with --counts. Errors go to standard error.\n"
    "\n"
    "Script, one command a line, '#' starts a comment:\n"
    "  press K...              keys down (0 to 127: bit K mod 8 of byte K div 8)\n"
    "  release K...            keys up; 'release all' for every key\n"
    "  tap K...                keys down until one answer has carried them\n"
    "  wait MS                 pause the script\n"
    "  polls N                 wait until N more requests have come\n"
    "  silence [N|always]      leave requests unanswered (default always)\n"
    "  delay MS                delay every reply (0 ends it)\n"
    "  garbage XX...           stray bytes (hexadecimal) before the next reply\n"
    "  badchecksum [N|always]  replies with a wrong checksum (default 1)\n"
    "  wrongid XX [N|always]   replies with the id XX (hexadecimal) instead\n"
    "  short [N|always]        replies shorter than their id requires\n"
    "  nodebits [N|always]     replies with node bits set in the Node/Len byte\n"
    "  drip MS                 no replies, a stray byte every MS ms (0 ends it)\n"
    "  normal                  end every fault, the delay and the drip\n"
    "  hangup                  close the line, as a pulled cable does, and end\n"
    "  stale                   send an answer to STATUS now, unasked: what a run\n"
    "                          that stopped left unread in the port\n"
    "  counts                  print the request counts\n"
    "  quit                    end kplsim\n"
    "The simulator keeps running after the script ends, until 'quit', Ctrl-C or\n"
    "SIGTERM.\n";

kplsim::KeypanelLine* ActiveLine = nullptr;

void OnSignal(int)
{
    if (ActiveLine != nullptr)
        ActiveLine->Stop();
}

std::mutex OutputLock;

void PrintLine(const std::string& line)
{
    std::lock_guard<std::mutex> guard(OutputLock);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

struct Options {
    std::string device;
    std::string link;
    std::string script;
    kplsim::Identity identity;
    bool quiet = false;
    bool trace = false;
    bool counts = false;
};

bool ParseByte(const char* text, std::uint8_t& value)
{
    char* end = nullptr;
    errno = 0;
    unsigned long number = std::strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || number > 255 || text[0] == '-')
        return false;
    value = static_cast<std::uint8_t>(number);
    return true;
}

// 0 to go on, else the exit status.
int ParseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::fputs(Usage, stdout);
            return -1;
        }
        if (option == "--quiet") {
            options.quiet = true;
            continue;
        }
        if (option == "--trace") {
            options.trace = true;
            continue;
        }
        if (option == "--counts") {
            options.counts = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "kplsim: %s: unknown option or missing value (see --help)\n", option.c_str());
            return 2;
        }
        const char* value = argv[++i];
        bool ok = true;
        if (option == "--device")
            options.device = value;
        else if (option == "--link")
            options.link = value;
        else if (option == "--script")
            options.script = value;
        else if (option == "--version")
            ok = kplsim::ParseVersion(value, options.identity.major, options.identity.minor);
        else if (option == "--type")
            ok = (options.identity.type = value).size() <= 8;
        else if (option == "--keys")
            ok = ParseByte(value, options.identity.keyCount);
        else if (option == "--leds")
            ok = ParseByte(value, options.identity.ledCount);
        else
            ok = false;
        if (!ok) {
            std::fprintf(stderr, "kplsim: %s %s: unknown option or bad value (see --help)\n", option.c_str(), value);
            return 2;
        }
    }
    if (!options.device.empty() && !options.link.empty()) {
        std::fprintf(stderr, "kplsim: --link goes with a pseudo-terminal, not with --device\n");
        return 2;
    }
    return 0;
}

class Display {
public:
    Display(const Options& options, const kplsim::KeypanelModel& model)
        : options_(options), model_(model), start_(std::chrono::steady_clock::now())
    {
    }

    void Show(const kplsim::Exchange& exchange)
    {
        if (options_.trace) {
            PrintLine("> " + kplsim::HexBytes(exchange.request));
            if (exchange.answered)
                PrintLine("< " + kplsim::HexBytes(exchange.reply));
        }
        if (options_.quiet)
            return;
        int leds = model_.GetIdentity().ledCount;
        if (exchange.kind == kplsim::RequestKind::Leds) {
            auto block = model_.LastLedBlock();
            if (!shownBlock_ || block != block_)
                PrintLine(Stamp() + " LEDS   " + kplsim::RenderLedBlock(block, leds));
            block_ = block;
            shownBlock_ = true;
        } else if (exchange.kind == kplsim::RequestKind::Status) {
            auto pattern = model_.LastLedPattern();
            if (!shownPattern_ || pattern != pattern_)
                PrintLine(Stamp() + " STATUS " + kplsim::RenderLedPattern(pattern, leds));
            pattern_ = pattern;
            shownPattern_ = true;
        }
    }

private:
    std::string Stamp() const
    {
        auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        char text[32];
        std::snprintf(text, sizeof text, "%8.3f", elapsed);
        return text;
    }

    const Options& options_;
    const kplsim::KeypanelModel& model_;
    std::chrono::steady_clock::time_point start_;
    kplsim::LedBlock block_{};
    kplsim::LedPattern pattern_{};
    bool shownBlock_ = false;
    bool shownPattern_ = false;
};

// Waits up to the time, or until the simulator stops; false when it stopped.
bool Pause(int stopEvent, unsigned milliseconds)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return true;
        pollfd entry{stopEvent, POLLIN, 0};
        int ready = poll(&entry, 1, static_cast<int>(left > 1000 ? 1000 : left));
        if (ready > 0)
            return false;
    }
}

void RunScript(int fd, const std::string& name, kplsim::KeypanelModel& model, kplsim::KeypanelLine& line)
{
    std::string pending;
    int lineNumber = 0;
    bool atEnd = false;
    while (!atEnd) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {line.StopEvent(), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        char chunk[4096];
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0) {
            atEnd = true;
            if (pending.empty())
                break;
            pending += '\n';
        } else {
            pending.append(chunk, static_cast<std::size_t>(got));
        }
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            std::string text = pending.substr(0, end);
            pending.erase(0, end + 1);
            ++lineNumber;
            kplsim::ScriptCommand command;
            std::string error;
            if (!kplsim::ParseScriptLine(text, command, error)) {
                std::fprintf(stderr, "kplsim: %s:%d: %s\n", name.c_str(), lineNumber, error.c_str());
                continue;
            }
            if (kplsim::ApplyToModel(model, command))
                continue;
            switch (command.verb) {
            case kplsim::ScriptVerb::Wait:
                if (!Pause(line.StopEvent(), command.milliseconds))
                    return;
                break;
            case kplsim::ScriptVerb::Polls: {
                auto target = model.TotalRequests() + static_cast<std::uint64_t>(command.count);
                while (!model.WaitForRequests(target, 100)) {
                    pollfd entry{line.StopEvent(), POLLIN, 0};
                    if (poll(&entry, 1, 0) > 0)
                        return;
                }
                break;
            }
            case kplsim::ScriptVerb::Counts: PrintLine("requests: " + model.CountsText()); break;
            case kplsim::ScriptVerb::Hangup: line.Stop(true); return;
            case kplsim::ScriptVerb::Stale:
                if (!line.SendUnasked(model.StaleAnswer()))
                    std::fprintf(stderr, "kplsim: %s:%d: stale: %s\n", name.c_str(), lineNumber, std::strerror(errno));
                break;
            case kplsim::ScriptVerb::Quit: line.Stop(); return;
            default: break;
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    int status = ParseOptions(argc, argv, options);
    if (status != 0)
        return status < 0 ? 0 : status;

    int scriptFd = 0;
    std::string scriptName = "stdin";
    if (!options.script.empty() && options.script != "-") {
        scriptFd = open(options.script.c_str(), O_RDONLY | O_CLOEXEC);
        if (scriptFd < 0) {
            std::fprintf(stderr, "kplsim: cannot open %s: %s\n", options.script.c_str(), std::strerror(errno));
            return 1;
        }
        scriptName = options.script;
    }

    kplsim::KeypanelModel model(options.identity);
    kplsim::KeypanelLine line;
    std::string error;
    bool opened = options.device.empty() ? line.OpenPty(error) : line.OpenDevice(options.device, error);
    if (!opened) {
        std::fprintf(stderr, "kplsim: %s\n", error.c_str());
        return 1;
    }
    if (!options.link.empty()) {
        struct stat existing;
        if (lstat(options.link.c_str(), &existing) == 0 && S_ISLNK(existing.st_mode))
            unlink(options.link.c_str());
        if (symlink(line.Path().c_str(), options.link.c_str()) != 0) {
            std::fprintf(stderr, "kplsim: cannot link %s: %s\n", options.link.c_str(), std::strerror(errno));
            return 1;
        }
    }

    ActiveLine = &line;
    struct sigaction action{};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    PrintLine(line.Path());
    Display display(options, model);
    std::thread script(RunScript, scriptFd, scriptName, std::ref(model), std::ref(line));
    bool served = line.Serve(model, [&](const kplsim::Exchange& exchange) { display.Show(exchange); }, error);
    line.Stop();
    script.join();
    ActiveLine = nullptr;

    if (!options.link.empty())
        unlink(options.link.c_str());
    if (options.counts)
        PrintLine("requests: " + model.CountsText());
    if (!served) {
        std::fprintf(stderr, "kplsim: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
