#include "tests/scenarios/runner/keypanel.h"

#include "tests/support/test_support.h"

#include <csignal>
#include <cstdlib>

namespace scenario {

bool Keypanel::Start(const std::string& kplsim, const std::vector<std::string>& options, std::string& error)
{
    std::vector<std::string> argv = {kplsim, "--trace", "--quiet", "--script", "-"};
    argv.insert(argv.end(), options.begin(), options.end());
    process_ = std::make_unique<kpltest::Process>(argv, std::map<std::string, std::string>{}, true);
    if (!process_->WaitForOutput("\n", std::chrono::milliseconds(10000))) {
        error = "kplsim did not start: " + process_->Output();
        return false;
    }
    std::string out = process_->Output();
    path_ = out.substr(0, out.find('\n'));
    if (path_.rfind("/dev/", 0) != 0) {
        error = "kplsim: " + out;
        return false;
    }
    parsed_ = path_.size() + 1;
    return true;
}

bool Keypanel::Send(const std::string& line)
{
    return process_ && process_->Write(line + "\n");
}

void Keypanel::Read()
{
    if (!process_)
        return;
    std::string fresh = process_->Output(parsed_);
    parsed_ += fresh.size();
    pending_ += fresh;
    std::size_t begin = 0;
    for (std::size_t end; (end = pending_.find('\n', begin)) != std::string::npos; begin = end + 1) {
        std::string line = pending_.substr(begin, end - begin);
        if (line.rfind("kplsim: ", 0) == 0) {
            errors_ += line + "\n";
            continue;
        }
        if (line.rfind("> ", 0) != 0)
            continue;
        std::vector<std::uint8_t> raw;
        for (std::size_t at = 2; at + 1 < line.size(); at += 3)
            raw.push_back(static_cast<std::uint8_t>(std::strtoul(line.substr(at, 2).c_str(), nullptr, 16)));
        Request request;
        if (raw.size() >= 4) {
            request.id = raw[2];
            // The payload as meant: the stuffing byte after each 0x02 dropped.
            for (std::size_t i = 3; i + 1 < raw.size(); ++i) {
                request.payload.push_back(raw[i]);
                if (raw[i] == 0x02)
                    ++i;
            }
        }
        requests_.push_back(std::move(request));
    }
    pending_.erase(0, begin);
}

const std::vector<Request>& Keypanel::Requests()
{
    Read();
    return requests_;
}

std::string Keypanel::Errors()
{
    Read();
    return errors_;
}

void Keypanel::Quit()
{
    if (!process_)
        return;
    Send("quit");
    int status = 0;
    if (!process_->Wait(std::chrono::milliseconds(5000), &status)) {
        process_->Signal(SIGTERM);
        process_->Wait(std::chrono::milliseconds(5000), &status);
    }
    Read();
}

}  // namespace scenario
