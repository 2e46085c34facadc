// The shipped 32-bit VkKplSvc.exe under 32-bit wine as a target: a machine
// that tests/scenarios/wine/machine.sh brings up (one per locale, kept for
// the whole run and reset between scenarios), the panel driver as the
// kernel driver service "Pgw", COM3 linked to kplsim's pty, keys from the
// key target window's log, events from wine's trace of the service's
// ReportEvent calls, service states from its SetServiceStatus calls.
#include "tests/scenarios/runner/runner.h"
#include "tests/support/test_support.h"

#include <signal.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

namespace scenario {

namespace {

constexpr unsigned ServiceWin32OwnProcess = 0x10;

kpltest::ProcessResult Script(const std::string& script, const Words& args, int seconds = 60,
                              const std::map<std::string, std::string>& env = {})
{
    Words argv{"/bin/bash", script};
    argv.insert(argv.end(), args.begin(), args.end());
    return kpltest::RunProcess(argv, env, std::chrono::milliseconds(seconds * 1000));
}

// The machines of a run, one per locale, each in "m" of its directory:
// brought up when a scenario first needs one, taken down at the end.
struct Machines {
    std::string script;
    const MessageTable& table;
    std::map<bool, std::unique_ptr<kpltest::TempDir>> dirs;  // by German locale
    ~Machines()
    {
        for (const auto& [german, dir] : dirs)
            Script(script, {"down", dir->File("m")});
    }
};

class WineTarget : public Target {
public:
    WineTarget(std::shared_ptr<Machines> machines, std::string port)
        : machines_(std::move(machines)), script_(machines_->script), port_(std::move(port))
    {
    }
    ~WineTarget() override
    {
        service_.reset();  // kills a service that still runs in debug mode
        if (machine_.empty())
            return;
        // The task manager a secure attention key started in debug mode
        // would keep the focus from the next scenario's key target.
        if (Console().find("now starting taskmgr.exe") != std::string::npos)
            Wine("wine", {"taskkill", "/f", "/im", "taskmgr.exe"});
        if (State() != 0)
            Wine("service", {"-remove"});  // stops it first, if it runs
        // The next scenario's key target must get the focus.
        if (targetPid_ > 0 && kill(targetPid_, SIGTERM) == 0)
            kpltest::WaitUntil([&] { return kill(targetPid_, 0) != 0; }, std::chrono::milliseconds(10000));
    }

    bool ApplyRegistry(const std::string& block, std::string& error) override
    {
        if (!machine_.empty())
            return Import(block, error);
        pending_.push_back(block);
        return true;
    }

    // The key target makes the desktop Winlogon, when it starts.
    bool SetPresent(const std::string& what, bool present, std::string& error) override
    {
        (what == "driver" ? driverPresent_ : winlogon_) = present;
        return what != "driver" || machine_.empty() || DriverService(error);
    }

    bool Start(bool debug, std::string& error) override
    {
        if (!Ready(error))
            return false;
        debug_ = debug;
        if (debug_) {
            service_ = std::make_unique<kpltest::Process>(
                Words{"/bin/bash", script_, "service", machine_, dir_.File("console.txt"), "-debug"});
            return true;
        }
        if (State() == 0) {
            auto install = Wine("service", {"-install"});
            error = "-install: " + install.output;
            if (install.output.find("installed.") == std::string::npos)
                return false;
        }
        logStart_ = kpltest::ReadFile(machine_ + "/services.log").size();
        auto start = Wine("wine", {"sc", "start", "Kpl"});
        started_ = true;
        error = "sc start Kpl: " + start.output;
        return start.exitStatus == 0;
    }

    bool Stop(std::string& error) override
    {
        error = "the service was not started";
        if (debug_ && service_)
            service_->Signal(SIGINT);  // wine turns it into the console's Ctrl-C
        if (debug_ || !started_)
            return debug_ && service_;
        auto stop = Wine("wine", {"sc", "stop", "Kpl"});
        error = "sc stop Kpl: " + stop.output;
        return stop.exitStatus == 0 || State() == 1;
    }

    bool Exited(int& status) override
    {
        if (debug_)
            return service_ && service_->Wait(std::chrono::milliseconds(0), &status);
        // The service has ended with its stopped report.
        auto reports = Reports();
        unsigned state = 0, exit = 0;
        if (!started_ || reports.empty() ||
            std::sscanf(reports.back().c_str(), "state=%u accepted=%*u exit=%u", &state, &exit) != 2 || state != 1)
            return false;
        status = static_cast<int>(exit);
        return true;
    }

    kpltest::ProcessResult Command(const Words& arguments) override
    {
        kpltest::ProcessResult result;
        if (!Ready(result.output))
            return result;
        result = Wine("service", arguments);
        // The console's line ends, as a program on Linux prints them.
        result.output.erase(std::remove(result.output.begin(), result.output.end(), '\r'), result.output.end());
        return result;
    }

    // The key target's log: "MS WM_KEYDOWN wparam=41 lparam=1e0001" and the like.
    std::vector<KeyObservation> Keys() override
    {
        std::vector<KeyObservation> keys;
        for (const auto& line : Lines(kpltest::ReadFile(dir_.File("keys.log")))) {
            KeyObservation key;
            char name[32];
            unsigned wparam = 0, lparam = 0;
            if (std::sscanf(line.c_str(), "%lld %31s wparam=%x lparam=%x", &key.ms, name, &wparam, &lparam) != 4)
                continue;
            std::string message = name;
            if (message == "WM_CHAR" && !keys.empty() && wparam < 0x80)
                keys.back().text += static_cast<char>(wparam);
            if (message == "WM_CHAR")
                continue;
            bool hotkey = message == "WM_HOTKEY", up = message == "WM_KEYUP" || message == "WM_SYSKEYUP";
            key.kind = hotkey ? KeyObservation::HotKey
                       : up   ? KeyObservation::Up
                              : (lparam & (1u << 30)) ? KeyObservation::Repeat : KeyObservation::Down;
            key.vk = hotkey ? 0 : wparam;
            key.scan = (lparam >> 16) & 0xFF;
            key.extended = (lparam >> 24) & 1;
            key.desktop = hotkey ? "Winlogon" : "";
            keys.push_back(key);
        }
        return keys;
    }

    // The trace of each ReportEvent: a line with its id, then one line per
    // insertion string; the text as the Event Viewer shows it.
    Words Events() override
    {
        std::vector<unsigned> ids;
        std::vector<Words> strings;
        for (const auto& line : Log()) {
            unsigned id = 0, count = 0;
            auto at = line.find(":advapi:ReportEventA (");
            if (at != std::string::npos &&
                std::sscanf(line.c_str() + at + 22, "%*x,%*x,%*x,%x,%*x,%x", &id, &count) == 2) {
                ids.push_back(id);
                strings.emplace_back();
            }
            at = line.find(":eventlog:ReportEventW L\"");
            if (at != std::string::npos && !ids.empty())
                strings.back().push_back(line.substr(at + 25, line.size() - at - 25 - (line.back() == '"')));
        }
        Words events;
        for (std::size_t i = 0; i < ids.size(); ++i)
            events.push_back(machines_->table.Format(ids[i], strings[i]));
        return events;
    }

    std::string Console() override { return debug_ ? kpltest::ReadFile(dir_.File("console.txt")) : ""; }

    // Each SetServiceStatus of the service's own process as wine traces it,
    // as "state=N accepted=N exit=N checkpoint=N waithint=N".
    Words Reports() override
    {
        Words reports;
        for (const auto& line : debug_ ? Words{} : Log()) {
            auto at = line.find(":service:SetServiceStatus ");
            unsigned type, state, accepted, exit, checkpoint, wait;
            if (at != std::string::npos &&
                std::sscanf(line.c_str() + at + 26, "%*x %x %x %x %x %*x %x %x", &type, &state, &accepted, &exit,
                            &checkpoint, &wait) == 6 && type == ServiceWin32OwnProcess) {
                char text[128];
                std::snprintf(text, sizeof text, "state=%u accepted=%u exit=%u checkpoint=%u waithint=%u", state,
                              accepted, exit, checkpoint, wait);
                reports.push_back(text);
            }
        }
        return reports;
    }

    // "    Version    REG_SZ    02.07" in what reg query prints.
    bool ReadRegistry(const std::string& key, const std::string& value, std::string& data) override
    {
        std::string shown = machine_.empty() ? "" : Wine("wine", {"reg", "query", key, "/v", value}).output;
        for (const auto& line : Lines(shown)) {
            std::istringstream words(line);
            std::string name, type;
            if (!(words >> name >> type) || name != value)
                continue;
            std::getline(words >> std::ws, data);
            data.erase(data.find_last_not_of(' ') + 1);
            if (type == "REG_DWORD")
                data = std::to_string(std::strtoul(data.c_str(), nullptr, 16));
            return true;
        }
        return false;
    }

private:
    // A wine command ("wine") or VkKplSvc.exe ("service") to its end, its
    // output through a file: what it starts may inherit the output and
    // would hold a pipe open.
    kpltest::ProcessResult Wine(const std::string& program, const Words& args)
    {
        Words all{program, machine_, machine_ + "/command.out"};
        all.insert(all.end(), args.begin(), args.end());
        auto result = Script(script_, all);
        result.output = kpltest::ReadFile(machine_ + "/command.out");
        return result;
    }

    // The service's state (1 stopped ... 4 running), 0 when not installed.
    int State() { return std::atoi(Script(script_, {"state", machine_, "Kpl"}).output.c_str()); }

    // The lines the machine's services traced since the service started.
    Words Log()
    {
        std::string log = machine_.empty() ? "" : kpltest::ReadFile(machine_ + "/services.log");
        return Lines(logStart_ < log.size() ? log.substr(logStart_) : "");
    }

    // The machine set up for the scenario, once its registry is known.
    bool Ready(std::string& error)
    {
        if (!machine_.empty())
            return true;
        // A German layout in the scenario's registry needs a German machine:
        // wine takes the layout from the locale the prefix was made in.
        bool german = std::any_of(pending_.begin(), pending_.end(), [](const std::string& block) {
            return block.find("Keyboard Layout\\Preload") != std::string::npos &&
                   block.find("\"1\"=\"00000407\"") != std::string::npos;
        });
        auto& dir = machines_->dirs[german];
        if (!dir) {
            dir = std::make_unique<kpltest::TempDir>();
            Words up{"up", dir->File("m")};
            if (german)
                up.insert(up.end(), {"--locale", "de_DE.UTF-8"});
            // What the services trace: each ReportEvent and each SetServiceStatus.
            auto result =
                Script(script_, up, 180, {{"SERVICE_WINEDEBUG", "fixme-all,fixme+advapi,+eventlog,+service"}});
            error = "the wine machine did not come up:\n" + result.output;
            if (result.exitStatus != 0)
                return false;
        }
        machine_ = dir->File("m");
        auto reset = Script(script_, {"reset", machine_}), com = Script(script_, {"com", machine_, "COM3", port_});
        error = "machine reset: " + reset.output + com.output;
        if (reset.exitStatus != 0 || com.exitStatus != 0)
            return false;
        for (const auto& block : pending_)
            if (!Import(block, error))
                return false;
        if (!driverPresent_ && !DriverService(error))
            return false;
        // The key target in front, before the service types.
        auto target =
            Script(script_, {"target", machine_, dir_.File("keys.log"), "600", winlogon_ ? "--winlogon" : ""}, 40);
        targetPid_ = std::atoi(target.output.c_str());
        error = "the key target did not come up: " + target.output;
        return target.exitStatus == 0 && targetPid_ > 0;
    }

    bool Import(const std::string& block, std::string& error)
    {
        std::string text = "Windows Registry Editor Version 5.00\r\n\r\n", file = machine_ + "/import.reg";
        for (const auto& line : Lines(block))
            text += line + "\r\n";
        kpltest::WriteFile(file, text);
        auto result = Script(script_, {"reg", machine_, file});
        error = "reg import: " + result.output;
        return result.exitStatus == 0;
    }

    bool DriverService(std::string& error)
    {
        auto result = Wine("wine", {"sc", driverPresent_ ? "start" : "stop", "Pgw"});
        error = "sc for Pgw: " + result.output;
        // 1056: already running, 1062: not started.
        return result.exitStatus == 0 || result.output.find("1062") != std::string::npos ||
               result.output.find("1056") != std::string::npos;
    }

    std::shared_ptr<Machines> machines_;
    std::string script_, port_;
    std::string machine_;    // the scenario's machine, once it is ready
    kpltest::TempDir dir_;   // the scenario's own files
    std::unique_ptr<kpltest::Process> service_;
    int targetPid_ = 0;
    Words pending_;  // registry blocks for a machine not yet chosen
    bool debug_ = false, started_ = false, winlogon_ = true, driverPresent_ = true;
    std::size_t logStart_ = 0;
};

}  // namespace

bool ChooseWineMachine(const std::string& machineScript, std::string& label, std::string& note)
{
    auto probe = Script(machineScript, {"probe"});
    std::string out = probe.output.substr(0, probe.output.find_last_not_of("\r\n") + 1);
    if (probe.exitStatus != 0 || (out != "win32" && out.rfind("win64", 0) != 0)) {
        note = out;
        return false;
    }
    std::string arch = out.substr(0, 5);
    setenv("KPL_WINE_ARCH", arch.c_str(), 1);
    label = arch == "win32" ? "wine32" : "wine64";
    note = arch == "win32" ? "" : "wine64: the 64-bit build under wine64 " + out.substr(6);
    return true;
}

Targets WineTargets(const std::string& machineScript, const MessageTable& table)
{
    auto machines = std::shared_ptr<Machines>(new Machines{machineScript, table, {}});
    return [machines](const std::string& port) { return std::make_unique<WineTarget>(machines, port); };
}

}  // namespace scenario
