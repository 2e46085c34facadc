// A child process with its standard output captured (POSIX only): the real
// VkKplSvc or kplsim, driven the way a person or systemd would drive it.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kpltest {

class Process {
public:
    // Starts argv[0] with the given extra environment; stderr goes to stdout.
    // With input, Write() feeds its standard input; else it reads /dev/null.
    Process(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
            bool input = false);
    ~Process();  // kills the process if it still runs
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    std::string Output(std::size_t from = 0);  // what it printed from that offset on
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout);
    void Signal(int signal);
    bool Write(const std::string& text);
    // True with the exit status when the process ended in time.
    bool Wait(std::chrono::milliseconds timeout, int* exitStatus);
    int Pid() const { return pid_; }

private:
    void Reader();
    int pid_ = -1;
    int output_ = -1;
    int input_ = -1;
    bool exited_ = false;
    int status_ = 0;
    std::mutex lock_;
    std::string text_;
    std::thread reader_;
};

// Runs a program to its end (bounded) and returns its exit status and output.
struct ProcessResult {
    int exitStatus = -1;
    std::string output;
};
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
                         std::chrono::milliseconds timeout = std::chrono::milliseconds(20000));

}  // namespace kpltest
