// Key latency of the real service: VkKplSvc -debug against the Keypanel
// model served on a pty from this process. Each press is timed from
// Press() on the model to the time stamp of its key journal line. With
// --idle it measures the idle service instead, and after it a reference loop
// that makes the same wake-ups and pty round trips and nothing else: what this
// machine charges for the design's floor. Every run starts a service of its
// own; a row gives min / median / max over the runs.
//   key_latency [--runs N] [--presses N] [--baud N] [--samples FILE] [--idle SECONDS]
// Prints markdown table rows on standard output, notes under them, and
// with --samples every latency (ms) of every run, one a line, to FILE.
#include "bench/bench_support.h"
#include "sim/keypanel_line.h"
#include "sim/keypanel_model.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr double PollPeriodMs = 50;
constexpr double KeyCycleMs = 40;  // key output cycle at keyboard speed 31
constexpr double ExchangeBits = (4 + 20) * 10;

double NowMs()
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

class Service {
public:
    Service(const std::string& registry, const std::string& output)
    {
        pid_ = fork();
        if (pid_ == 0) {
            setenv("KPL_REGISTRY", registry.c_str(), 1);
            int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
                close(fd);
            }
            execl(KPL_SERVICE_EXE, KPL_SERVICE_EXE, "-debug", static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~Service()
    {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    int Pid() const { return pid_; }
    // Ctrl-C, then a bounded wait; the exit status, -1 when it hung.
    int Stop()
    {
        kill(pid_, SIGINT);
        for (int i = 0; i < 1500; ++i) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            poll(nullptr, 0, 10);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    bool exited_ = false;
};

struct JournalLine {
    double stampMs;
    unsigned vk;
    unsigned flags;
};

// Follows the key journal as the service appends to it.
class JournalWatch {
public:
    explicit JournalWatch(const kplbench::TempDir& dir) : path_(dir.File("keys.journal"))
    {
        notify_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        inotify_add_watch(notify_, dir.Path().c_str(), IN_MODIFY | IN_CREATE);
    }
    ~JournalWatch() { close(notify_); }

    // The next key event for vk, down or up; false after the time-out.
    bool Next(unsigned vk, bool up, JournalLine& found, int timeoutMs = 5000)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            while (ReadLine(found))
                if (found.vk == vk && ((found.flags & 2) != 0) == up)
                    return true;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            pollfd entry{notify_, POLLIN, 0};
            if (poll(&entry, 1, static_cast<int>(std::min<long>(left.count(), 100))) > 0) {
                char events[4096];
                while (read(notify_, events, sizeof events) > 0) {
                }
            }
        }
    }

private:
    bool ReadLine(JournalLine& line)
    {
        for (;;) {
            auto end = pending_.find('\n');
            if (end == std::string::npos) {
                std::ifstream in(path_, std::ios::binary);
                in.seekg(static_cast<std::streamoff>(offset_));
                std::string more((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
                if (more.empty())
                    return false;
                offset_ += more.size();
                pending_ += more;
                continue;
            }
            std::string text = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            tm utc{};
            int millis = 0;
            auto at = text.find(" keybd_event ");
            if (at == std::string::npos)
                continue;
            if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &utc.tm_year, &utc.tm_mon, &utc.tm_mday,
                            &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &millis) != 7)
                continue;
            if (std::sscanf(text.c_str() + at, " keybd_event desktop=%*s vk=%x scan=%*x flags=%x", &line.vk,
                            &line.flags) != 2)
                continue;
            utc.tm_year -= 1900;
            utc.tm_mon -= 1;
            line.stampMs = static_cast<double>(timegm(&utc)) * 1000.0 + millis;
            return true;
        }
    }

    std::string path_;
    int notify_ = -1;
    std::size_t offset_ = 0;
    std::string pending_;
};

struct TaskCounters {
    double cpuSeconds = 0;
    double runNanoseconds = 0;  // schedstat, finer than clock ticks; 0 when missing
    long wakeUps = 0;      // voluntary switches: the thread slept and was woken
    long preemptions = 0;  // involuntary switches: another task took the CPU
    struct Thread {
        double runNanoseconds;
        long wakeUps;
    };
    std::map<std::string, Thread> threads;
};

long StatusField(const std::string& path, const char* name)
{
    std::ifstream in(path);
    std::string line;
    const std::size_t length = std::strlen(name);
    while (std::getline(in, line))
        if (line.compare(0, length, name) == 0 && line.size() > length && line[length] == ':')
            return std::atol(line.c_str() + length + 1);
    return 0;
}

TaskCounters ReadCounters(int pid)
{
    TaskCounters counters;
    const std::string base = "/proc/" + std::to_string(pid);
    std::string stat = kplbench::ReadWholeFile(base + "/stat");
    auto close = stat.rfind(')');
    if (close != std::string::npos) {
        std::istringstream fields(stat.substr(close + 2));
        std::string field;
        unsigned long utime = 0, stime = 0;
        // After the name: state is field 3; utime and stime are fields 14 and 15.
        for (int n = 3; n <= 15 && fields >> field; ++n) {
            if (n == 14)
                utime = std::stoul(field);
            if (n == 15)
                stime = std::stoul(field);
        }
        counters.cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    if (DIR* tasks = opendir((base + "/task").c_str())) {
        while (dirent* entry = readdir(tasks)) {
            if (entry->d_name[0] == '.')
                continue;
            const std::string task = base + "/task/" + entry->d_name;
            const long wakeUps = StatusField(task + "/status", "voluntary_ctxt_switches");
            counters.wakeUps += wakeUps;
            counters.preemptions += StatusField(task + "/status", "nonvoluntary_ctxt_switches");
            std::istringstream schedstat(kplbench::ReadWholeFile(task + "/schedstat"));
            double run = 0;
            if (schedstat >> run)
                counters.runNanoseconds += run;
            counters.threads[entry->d_name] = {run, wakeUps};
        }
        closedir(tasks);
    }
    return counters;
}

int CountFds(int pid)
{
    int count = 0;
    if (DIR* fds = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (dirent* entry = readdir(fds))
            count += entry->d_name[0] != '.';
        closedir(fds);
    }
    return count;
}

struct Options {
    int runs = 3;
    int presses = 200;
    unsigned long baud = 0;  // 0: the configured default
    int idleSeconds = 0;
    std::string samples;
};

// One service against a Keypanel model of its own, in a directory of its own.
class Rig {
public:
    explicit Rig(const Options& options)
    {
        std::string error;
        if (!line_.OpenPty(error)) {
            std::fprintf(stderr, "key_latency: %s\n", error.c_str());
            return;
        }
        server_ = std::thread([this] {
            std::string serveError;
            line_.Serve(model_, [](const kplsim::Exchange&) {}, serveError);
        });
        std::string more;
        if (options.baud != 0) {
            char value[80];
            std::snprintf(value, sizeof value, "\"BaudRate\"=dword:%08lx\r\n", options.baud);
            more = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KPL]\r\n" + std::string(value);
        }
        kplbench::WriteWholeFile(dir_.File("machine.reg"), kplbench::MachineRegistry(dir_, line_.Path(), more));
        journal_ = std::make_unique<JournalWatch>(dir_);
        service_ = std::make_unique<Service>(dir_.File("machine.reg"), dir_.File("service.out"));
        polling_ = model_.WaitForRequests(10, 20000);
        if (!polling_)
            std::fprintf(stderr, "key_latency: the service did not start polling\n%s",
                         kplbench::ReadWholeFile(dir_.File("service.out")).c_str());
    }
    ~Rig()
    {
        service_.reset();
        line_.Stop();
        if (server_.joinable())
            server_.join();
    }
    bool Polling() const { return polling_; }
    kplsim::KeypanelModel& Model() { return model_; }
    JournalWatch& Journal() { return *journal_; }
    int ServicePid() const { return service_->Pid(); }
    // Ctrl-C to the service; false unless it ended with 0.
    bool Stop()
    {
        const int exit = service_->Stop();
        if (exit != 0)
            std::fprintf(stderr, "key_latency: the service ended with %d\n", exit);
        return exit == 0;
    }

private:
    kplbench::TempDir dir_;
    kplsim::KeypanelModel model_;
    kplsim::KeypanelLine line_;
    std::thread server_;
    std::unique_ptr<JournalWatch> journal_;
    std::unique_ptr<Service> service_;
    bool polling_ = false;
};

// Press to journal line of `presses` keys, ms; empty when one went missing.
std::vector<double> MeasureLatencies(Rig& rig, int presses, int run, const char* label)
{
    std::vector<double> latencies;
    std::mt19937 random(12345 + static_cast<unsigned>(run));
    std::uniform_int_distribution<int> phase(0, 49);
    for (int i = 0; i < presses; ++i) {
        // A random start so that presses fall on every phase of the two timers.
        std::this_thread::sleep_for(std::chrono::milliseconds(phase(random)));
        const int key = i % 26;
        const unsigned vk = 'A' + static_cast<unsigned>(key);
        JournalLine down{}, up{};
        const double pressed = NowMs();
        rig.Model().Press(key);
        bool ok = rig.Journal().Next(vk, false, down);
        rig.Model().Release(key);
        ok = ok && rig.Journal().Next(vk, true, up);
        if (!ok) {
            std::fprintf(stderr, "key_latency: press %d of key %d did not reach the journal\n", i, key);
            return {};
        }
        latencies.push_back(down.stampMs - pressed);
        if ((i + 1) % 50 == 0 && i + 1 < presses)
            kplbench::Progress("%s: %d of %d presses", label, i + 1, presses);
    }
    return latencies;
}

double Percentile(std::vector<double> values, double share)
{
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(std::ceil(share * static_cast<double>(values.size()))) - 1];
}

struct IdleFigures {
    double cpuMsPerSecond;
    double wakeUpsPerSecond;
    double preemptionsPerSecond;
    double residentKiB;
    double fds;
    // CPU per wake-up of the thread woken most (the poll loop: its timer
    // and each reply) and of the one woken next (the key output cycle), µs.
    double pollUsPerWakeUp;
    double keyUsPerWakeUp;
};

IdleFigures MeasureIdle(int pid, int seconds)
{
    // Let start-up settle before the window opens.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const auto before = ReadCounters(pid);
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const auto after = ReadCounters(pid);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    IdleFigures figures;
    // schedstat counts nanoseconds; the clock-tick figure is the fallback.
    figures.cpuMsPerSecond = after.runNanoseconds > 0
                                 ? (after.runNanoseconds - before.runNanoseconds) / 1e6 / elapsed
                                 : (after.cpuSeconds - before.cpuSeconds) * 1000.0 / elapsed;
    figures.wakeUpsPerSecond = static_cast<double>(after.wakeUps - before.wakeUps) / elapsed;
    figures.preemptionsPerSecond = static_cast<double>(after.preemptions - before.preemptions) / elapsed;
    figures.residentKiB = static_cast<double>(StatusField("/proc/" + std::to_string(pid) + "/status", "VmRSS"));
    figures.fds = CountFds(pid);
    std::vector<std::pair<long, double>> threads;  // wake-ups and CPU ns in the window
    for (const auto& [tid, end] : after.threads) {
        const auto opened = before.threads.find(tid);
        if (opened != before.threads.end() && end.wakeUps > opened->second.wakeUps)
            threads.emplace_back(end.wakeUps - opened->second.wakeUps,
                                 end.runNanoseconds - opened->second.runNanoseconds);
    }
    std::sort(threads.rbegin(), threads.rend());
    auto perWakeUp = [&](std::size_t rank) {
        return rank < threads.size() ? threads[rank].second / 1e3 / static_cast<double>(threads[rank].first) : 0.0;
    };
    figures.pollUsPerWakeUp = perWakeUp(0);
    figures.keyUsPerWakeUp = perWakeUp(1);
    return figures;
}

void SleepUntil(std::chrono::steady_clock::time_point due)
{
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(due.time_since_epoch()).count();
    const timespec at{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

// The reference process: a 40 ms cycle on one thread; on the other a 50 ms
// cycle that writes a 20-byte request to the pty and waits for 20 bytes back.
[[noreturn]] void RunReference(int port)
{
    std::thread keyCycle([] {
        for (auto due = std::chrono::steady_clock::now();;)
            SleepUntil(due += std::chrono::milliseconds(static_cast<int>(KeyCycleMs)));
    });
    char request[20] = {2}, reply[64];
    for (auto due = std::chrono::steady_clock::now();;) {
        SleepUntil(due += std::chrono::milliseconds(static_cast<int>(PollPeriodMs)));
        if (write(port, request, sizeof request) != static_cast<ssize_t>(sizeof request))
            _exit(1);
        for (std::size_t got = 0; got < sizeof request;) {
            pollfd entry{port, POLLIN, 0};
            const ssize_t n = poll(&entry, 1, 1000) > 0 ? read(port, reply, sizeof reply) : -1;
            if (n <= 0)
                _exit(1);
            got += static_cast<std::size_t>(n);
        }
    }
}

// The reference process on a pty, echoed from a thread here as the model
// answers the service.
class Reference {
public:
    Reference()
    {
        int port = -1;
        if (openpty(&master_, &port, nullptr, nullptr, nullptr) != 0)
            return;
        termios raw{};
        tcgetattr(port, &raw);
        cfmakeraw(&raw);
        tcsetattr(port, TCSANOW, &raw);
        pid_ = fork();
        if (pid_ == 0) {
            const std::string fd = std::to_string(port);
            execl("/proc/self/exe", "key_latency", "--reference", fd.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(port);
        echo_ = std::thread([this] {
            char bytes[64];
            for (ssize_t n; (n = read(master_, bytes, sizeof bytes)) > 0;)
                if (write(master_, bytes, static_cast<std::size_t>(n)) != n)
                    break;
        });
    }
    ~Reference()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        // The echo's read fails once the reference's side has closed.
        if (echo_.joinable())
            echo_.join();
        if (master_ >= 0)
            close(master_);
    }
    int Pid() const { return pid_; }

private:
    int master_ = -1;
    pid_t pid_ = -1;
    std::thread echo_;
};

// One figure over the runs, as min / median / max.
kplbench::Spread Column(const std::vector<IdleFigures>& runs, double IdleFigures::*field)
{
    std::vector<double> values;
    for (const IdleFigures& figures : runs)
        values.push_back(figures.*field);
    return kplbench::SpreadOf(values);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "--reference")
        RunReference(std::atoi(argv[2]));
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--runs")
            options.runs = std::max(1, std::atoi(argv[i + 1]));
        else if (option == "--presses")
            options.presses = std::atoi(argv[i + 1]);
        else if (option == "--baud")
            options.baud = std::strtoul(argv[i + 1], nullptr, 10);
        else if (option == "--idle")
            options.idleSeconds = std::atoi(argv[i + 1]);
        else if (option == "--samples")
            options.samples = argv[i + 1];
    }
    const double lineSpeed = options.baud != 0 ? static_cast<double>(options.baud) : 19200.0;
    const double bound = PollPeriodMs + KeyCycleMs + ExchangeBits * 1000.0 / lineSpeed;

    std::vector<double> medians, p99s, maxima, all;
    std::vector<IdleFigures> idle, reference;
    for (int run = 1; run <= options.runs; ++run) {
        char label[64];
        std::snprintf(label, sizeof label, "run %d of %d", run, options.runs);
        Rig rig(options);
        if (!rig.Polling())
            return 1;
        if (options.presses > 0) {
            std::vector<double> latencies = MeasureLatencies(rig, options.presses, run, label);
            if (latencies.empty())
                return 1;
            const kplbench::Spread spread = kplbench::SpreadOf(latencies);
            medians.push_back(spread.median);
            p99s.push_back(Percentile(latencies, 0.99));
            maxima.push_back(spread.max);
            all.insert(all.end(), latencies.begin(), latencies.end());
            kplbench::Progress("%s: median %.1f ms, p99 %.1f ms", label, spread.median, p99s.back());
        }
        if (options.idleSeconds > 0) {
            idle.push_back(MeasureIdle(rig.ServicePid(), options.idleSeconds));
            kplbench::Progress("%s: %.2f ms CPU and %.1f wake-ups a second", label, idle.back().cpuMsPerSecond,
                               idle.back().wakeUpsPerSecond);
        }
        if (!rig.Stop())
            return 1;
        if (options.idleSeconds > 0) {
            Reference loop;
            if (loop.Pid() <= 0)
                return 1;
            reference.push_back(MeasureIdle(loop.Pid(), options.idleSeconds));
            kplbench::Progress("%s: the reference loop %.2f ms CPU and %.1f wake-ups a second", label,
                               reference.back().cpuMsPerSecond, reference.back().wakeUpsPerSecond);
        }
    }

    kplbench::SpreadNotes notes;
    if (options.presses > 0) {
        const auto median = kplbench::SpreadOf(medians), p99 = kplbench::SpreadOf(p99s), max = kplbench::SpreadOf(maxima);
        char speed[32];
        std::snprintf(speed, sizeof speed, "%.0f%s", lineSpeed, options.baud != 0 ? "" : " (default)");
        notes.Check(std::string(speed) + " baud, median", median);
        notes.Check(std::string(speed) + " baud, p99", p99);
        notes.Check(std::string(speed) + " baud, max", max);
        std::printf("| %s | %d × %d | %s | %s | %s | %.1f | %.2f |\n", speed, options.runs, options.presses,
                    kplbench::Cells(median, 1).c_str(), kplbench::Cells(p99, 1).c_str(),
                    kplbench::Cells(max, 1).c_str(), bound, p99.max / bound);
        if (!options.samples.empty()) {
            char header[96];
            std::snprintf(header, sizeof header, "# %s baud; bound %.1f\n", speed, bound);
            std::string text = header;
            for (double latency : all)
                text += std::to_string(latency) + "\n";
            kplbench::WriteWholeFile(options.samples, text);
        }
    }
    if (!idle.empty()) {
        const auto cpu = Column(idle, &IdleFigures::cpuMsPerSecond),
                   wakeUps = Column(idle, &IdleFigures::wakeUpsPerSecond),
                   preemptions = Column(idle, &IdleFigures::preemptionsPerSecond),
                   resident = Column(idle, &IdleFigures::residentKiB), fds = Column(idle, &IdleFigures::fds);
        const auto floorCpu = Column(reference, &IdleFigures::cpuMsPerSecond),
                   floorWakeUps = Column(reference, &IdleFigures::wakeUpsPerSecond),
                   floorPreemptions = Column(reference, &IdleFigures::preemptionsPerSecond);
        notes.Check("CPU", cpu);
        notes.Check("wake-ups", wakeUps);
        notes.Check("resident memory", resident);
        notes.Check("the reference loop's CPU", floorCpu);
        std::printf("| the service | %d × %d s | %s | %s | %s | %s | %s |\n", options.runs, options.idleSeconds,
                    kplbench::Cells(cpu, 2).c_str(), kplbench::Cells(wakeUps, 1).c_str(),
                    kplbench::Cells(preemptions, 1).c_str(), kplbench::Cells(resident, 0).c_str(),
                    kplbench::Cells(fds, 0).c_str());
        std::printf("| the reference loop | %d × %d s | %s | %s | %s | — | — |\n", options.runs, options.idleSeconds,
                    kplbench::Cells(floorCpu, 2).c_str(), kplbench::Cells(floorWakeUps, 1).c_str(),
                    kplbench::Cells(floorPreemptions, 1).c_str());
    }
    std::fputs(notes.Text().c_str(), stdout);
    if (!idle.empty()) {
        std::printf("\nCPU per wake-up of each thread, µs: where the service's cost above the reference loop "
                    "lies.\n\n| thread | the service | the reference loop |\n|---|---:|---:|\n");
        std::printf("| the poll loop (40 wake-ups a second) | %s | %s |\n",
                    kplbench::Cells(Column(idle, &IdleFigures::pollUsPerWakeUp), 1).c_str(),
                    kplbench::Cells(Column(reference, &IdleFigures::pollUsPerWakeUp), 1).c_str());
        std::printf("| the key output cycle (25 wake-ups a second) | %s | %s |\n",
                    kplbench::Cells(Column(idle, &IdleFigures::keyUsPerWakeUp), 1).c_str(),
                    kplbench::Cells(Column(reference, &IdleFigures::keyUsPerWakeUp), 1).c_str());
    }
    return 0;
}
