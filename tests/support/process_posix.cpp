#include "tests/support/process.h"
#include "tests/support/test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

extern char** environ;

namespace kpltest {

Process::Process(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env, bool input)
{
    int pipeEnds[2];
    int inputEnds[2] = {-1, -1};
    if (pipe2(pipeEnds, O_CLOEXEC) != 0 || (input && pipe2(inputEnds, O_CLOEXEC) != 0))
        throw std::runtime_error("pipe failed");
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        if (env.count(entry.substr(0, entry.find('='))) == 0)
            environment.push_back(entry);
    }
    for (const auto& [name, value] : env)
        environment.push_back(name + "=" + value);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : environment)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(pipeEnds[1], 1);
        dup2(pipeEnds[1], 2);
        dup2(input ? inputEnds[0] : open("/dev/null", O_RDONLY), 0);
        // The test runner may block signals in its threads; the child must not inherit that.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGINT, SIG_DFL);
        signal(SIGQUIT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(pipeEnds[1]);
    output_ = pipeEnds[0];
    if (input) {
        close(inputEnds[0]);
        input_ = inputEnds[1];
    }
    reader_ = std::thread([this] { Reader(); });
}

Process::~Process()
{
    int status;
    if (!Wait(std::chrono::milliseconds(0), &status)) {
        kill(pid_, SIGKILL);
        Wait(std::chrono::milliseconds(10000), &status);
    }
    if (reader_.joinable())
        reader_.join();
    close(output_);
    if (input_ >= 0)
        close(input_);
}

void Process::Reader()
{
    char buffer[4096];
    for (;;) {
        ssize_t n = read(output_, buffer, sizeof buffer);
        if (n <= 0)
            return;
        std::lock_guard<std::mutex> guard(lock_);
        text_.append(buffer, static_cast<std::size_t>(n));
    }
}

std::string Process::Output(std::size_t from)
{
    std::lock_guard<std::mutex> guard(lock_);
    return from < text_.size() ? text_.substr(from) : std::string();
}

bool Process::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout)
{
    return WaitUntil([&] { return Output().find(text) != std::string::npos; }, timeout);
}

void Process::Signal(int signal)
{
    kill(pid_, signal);
}

bool Process::Write(const std::string& text)
{
    std::size_t done = 0;
    while (input_ >= 0 && done < text.size()) {
        ssize_t n = write(input_, text.data() + done, text.size() - done);
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return input_ >= 0;
}

bool Process::Wait(std::chrono::milliseconds timeout, int* exitStatus)
{
    if (!exited_) {
        bool done = WaitUntil(
            [&] {
                int status;
                pid_t r = waitpid(pid_, &status, WNOHANG);
                if (r == pid_) {
                    status_ = status;
                    exited_ = true;
                }
                return exited_;
            },
            timeout);
        if (!done)
            return false;
    }
    if (reader_.joinable())
        reader_.join();  // the pipe closes with the process: all output is in
    *exitStatus = WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
    return true;
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                         std::chrono::milliseconds timeout)
{
    Process process(argv, env);
    ProcessResult result;
    if (!process.Wait(timeout, &result.exitStatus))
        result.exitStatus = -1;
    result.output = process.Output();
    return result;
}

}  // namespace kpltest
