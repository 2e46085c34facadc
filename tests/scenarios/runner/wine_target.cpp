// The shipped 32-bit VkKplSvc.exe under 32-bit wine as a target: a machine
// that tests/scenarios/wine/machine.sh brings up (one per locale, kept for
// the whole run and reset between scenarios), the panel driver as the
// kernel driver service "Pgw", COM3 linked to kplsim's pty, keys from the
// key target window's log, events from the console (-debug) or from wine's
// trace of the service's ReportEvent calls, service states from its
// SetServiceStatus calls.
#include "tests/scenarios/runner/wine_target.h"

#include "tests/support/process.h"
#include "tests/support/test_support.h"

#include <signal.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

namespace scenario {

namespace {

constexpr unsigned SERVICE_WIN32_OWN_PROCESS = 0x10;

// A German layout in the scenario's registry needs a German machine: wine
// takes the layout from the locale the prefix was made in.
bool WantsGerman(const std::string& block)
{
    return block.find("Keyboard Layout\\Preload") != std::string::npos &&
           block.find("\"1\"=\"00000407\"") != std::string::npos;
}

// "export NAME=value" lines, as machine.sh writes them.
std::map<std::string, std::string> ReadEnv(const std::string& path)
{
    std::map<std::string, std::string> env;
    std::istringstream lines(kpltest::ReadFile(path));
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("export ", 0) != 0 || line.find('=') == std::string::npos)
            continue;
        std::string name = line.substr(7, line.find('=') - 7), value = line.substr(line.find('=') + 1);
        if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'')
            value = value.substr(1, value.size() - 2);
        std::string plain;
        for (std::size_t i = 0; i < value.size(); ++i)
            plain += value[i] == '\\' && i + 1 < value.size() ? value[++i] : value[i];
        env[name] = plain;
    }
    return env;
}

std::string Quote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

class Machine {
public:
    Machine(std::string script, bool german) : script_(std::move(script)), german_(german) {}
    ~Machine()
    {
        if (up_)
            Script({"down", dir_.File("m")});
    }

    bool Up(std::string& error)
    {
        std::vector<std::string> args{"up", dir_.File("m")};
        if (german_) {
            args.push_back("--locale");
            args.push_back("de_DE.UTF-8");
        }
        // What the services trace: each ReportEvent and each SetServiceStatus.
        auto result = Script(args, 180, {{"SERVICE_WINEDEBUG", "fixme-all,fixme+advapi,+eventlog,+service"}});
        up_ = true;
        if (result.exitStatus != 0) {
            error = "the wine machine did not come up:\n" + result.output;
            return false;
        }
        env_ = ReadEnv(dir_.File("m/env"));
        return true;
    }

    kpltest::ProcessResult Script(const std::vector<std::string>& args, int seconds = 60,
                                  const std::map<std::string, std::string>& env = {})
    {
        std::vector<std::string> argv{"/bin/bash", script_};
        argv.insert(argv.end(), args.begin(), args.end());
        return kpltest::RunProcess(argv, env, std::chrono::milliseconds(seconds * 1000));
    }

    // A wine command to its end, its output through a file: what it starts
    // may inherit the output and would hold a pipe open.
    kpltest::ProcessResult Wine(const std::vector<std::string>& args, int seconds = 60)
    {
        std::string out = dir_.File("command.out");
        std::string line = "exec " + Quote(env_["WINE"]);
        for (const auto& a : args)
            line += " " + Quote(a);
        line += " >" + Quote(out) + " 2>&1";
        auto result = kpltest::RunProcess({"/bin/sh", "-c", line}, env_, std::chrono::milliseconds(seconds * 1000));
        result.output = kpltest::ReadFile(out);
        return result;
    }

    std::unique_ptr<kpltest::Process> Spawn(const std::vector<std::string>& args, const std::string& output)
    {
        std::string line = "exec " + Quote(env_["WINE"]);
        for (const auto& a : args)
            line += " " + Quote(a);
        line += " >" + Quote(output) + " 2>&1";
        return std::make_unique<kpltest::Process>(std::vector<std::string>{"/bin/sh", "-c", line}, env_);
    }

    std::string Dir() const { return dir_.File("m"); }
    std::string Env(const std::string& name) { return env_[name]; }
    bool German() const { return german_; }

private:
    std::string script_;
    bool german_;
    kpltest::TempDir dir_;
    bool up_ = false;
    std::map<std::string, std::string> env_;
};

class WineTarget : public Target {
public:
    WineTarget(std::string script, const MessageTable& table) : script_(std::move(script)), table_(table) {}

    std::string Name() const override { return "wine"; }

    bool Prepare(const std::string& portPath, std::string& error) override
    {
        (void)error;
        port_ = portPath;
        pending_.clear();
        machine_ = nullptr;
        started_ = false;
        winlogon_ = true;
        driverPresent_ = true;
        servicesLogStart_ = 0;
        return true;
    }

    bool ApplyRegistry(const std::string& block, std::string& error) override
    {
        if (machine_ == nullptr) {
            pending_.push_back(block);
            return true;
        }
        return Import(block, error);
    }

    bool SetDriverPresent(bool present, std::string& error) override
    {
        driverPresent_ = present;
        if (machine_ == nullptr)
            return true;
        return DriverService(error);
    }

    bool SetWinlogonPresent(bool present, std::string& error) override
    {
        (void)error;
        winlogon_ = present;  // the key target makes it, when it starts
        return true;
    }

    bool Start(const std::string& mode, std::string& error) override
    {
        if (!Ready(error))
            return false;
        debug_ = mode == "debug";
        if (debug_) {
            service_ = machine_->Spawn({machine_->Env("KPL_EXE"), "-debug"}, dir_->File("console.txt"));
            return true;
        }
        if (!Installed()) {
            auto install = machine_->Wine({machine_->Env("KPL_EXE"), "-install"});
            installedByUs_ = true;
            if (install.output.find("installed.") == std::string::npos) {
                error = "-install: " + install.output;
                return false;
            }
        }
        servicesLogStart_ = kpltest::ReadFile(machine_->Env("SERVICES_LOG")).size();
        auto start = machine_->Wine({"sc", "start", "Kpl"});
        started_ = true;
        if (start.exitStatus != 0) {
            error = "sc start Kpl: " + start.output;
            return false;
        }
        return true;
    }

    bool Stop(std::string& error) override
    {
        if (debug_) {
            if (!service_) {
                error = "the service was not started";
                return false;
            }
            // wine turns SIGINT into the console's Ctrl-C.
            service_->Signal(SIGINT);
            return true;
        }
        auto stop = machine_->Wine({"sc", "stop", "Kpl"});
        if (stop.exitStatus != 0 && State() != 1) {
            error = "sc stop Kpl: " + stop.output;
            return false;
        }
        return true;
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

    CommandResult Command(const std::vector<std::string>& arguments) override
    {
        std::string error;
        if (!Ready(error))
            return {-1, error};
        std::vector<std::string> args{machine_->Env("KPL_EXE")};
        args.insert(args.end(), arguments.begin(), arguments.end());
        auto result = machine_->Wine(args);
        // The console's line ends, as a program on Linux prints them.
        std::string text;
        for (char c : result.output)
            if (c != '\r')
                text += c;
        return {result.exitStatus, text};
    }

    std::vector<KeyObservation> Keys() override
    {
        std::vector<KeyObservation> keys;
        if (!dir_)
            return keys;
        std::istringstream lines(kpltest::ReadFile(dir_->File("keys.log")));
        for (std::string line; std::getline(lines, line);) {
            long long ms = 0;
            char name[32];
            unsigned wparam = 0, lparam = 0;
            if (std::sscanf(line.c_str(), "%lld %31s wparam=%x lparam=%x", &ms, name, &wparam, &lparam) != 4)
                continue;
            std::string message = name;
            KeyObservation key;
            key.ms = ms;
            if (message == "WM_CHAR") {
                if (!keys.empty() && wparam < 0x80)
                    keys.back().text += static_cast<char>(wparam);
                continue;
            }
            if (message == "WM_HOTKEY") {
                key.kind = KeyObservation::HotKey;
                key.desktop = "Winlogon";
            } else {
                bool up = message == "WM_KEYUP" || message == "WM_SYSKEYUP";
                key.kind = up ? KeyObservation::Up
                              : (lparam & (1u << 30)) ? KeyObservation::Repeat : KeyObservation::Down;
                key.vk = wparam;
                key.scan = (lparam >> 16) & 0xFF;
                key.extended = (lparam >> 24) & 1;
            }
            keys.push_back(key);
        }
        return keys;
    }

    std::vector<EventObservation> Events() override
    {
        if (debug_)
            return ConsoleEvents(Console(), table_);
        // The trace of each ReportEvent: a line with its id, then one line
        // per insertion string.
        std::vector<EventObservation> events;
        std::vector<std::vector<std::string>> strings;
        std::string log = machine_ ? kpltest::ReadFile(machine_->Env("SERVICES_LOG")) : "";
        std::istringstream lines(servicesLogStart_ < log.size() ? log.substr(servicesLogStart_) : "");
        for (std::string line; std::getline(lines, line);) {
            auto at = line.find(":advapi:ReportEventA (");
            if (at != std::string::npos) {
                unsigned id = 0, count = 0;
                unsigned long handle, type, category, sid, size;
                if (std::sscanf(line.c_str() + at + 22, "%lx,%lx,%lx,%x,%lx,%x,%lx", &handle, &type, &category, &id,
                                &sid, &count, &size) >= 6) {
                    events.push_back({id, "", ""});
                    strings.emplace_back();
                }
                continue;
            }
            at = line.find(":eventlog:ReportEventW L\"");
            if (at != std::string::npos && !events.empty()) {
                std::string text = line.substr(at + 25);
                if (!text.empty() && text.back() == '"')
                    text.pop_back();
                strings.back().push_back(text);
            }
        }
        // The event's text as the Event Viewer shows it.
        for (std::size_t i = 0; i < events.size(); ++i)
            events[i].text = table_.Format(events[i].id, strings[i]);
        return events;
    }

    std::string Console() override
    {
        if (!dir_ || !debug_)
            return "";
        return kpltest::ReadFile(dir_->File("console.txt"));
    }

    std::vector<std::string> States() override
    {
        std::vector<std::string> states;
        static const char* names[] = {"", "STOPPED", "START_PENDING", "STOP_PENDING", "RUNNING"};
        for (const auto& report : Reports()) {
            unsigned state = 0;
            if (std::sscanf(report.c_str(), "state=%u", &state) == 1 && state >= 1 && state <= 4)
                states.push_back(names[state]);
        }
        return states;
    }

    // Each SetServiceStatus as wine traces it: "state=N accepted=N exit=N checkpoint=N waithint=N".
    std::vector<std::string> Reports() override
    {
        std::vector<std::string> reports;
        if (!machine_ || debug_)
            return reports;
        std::string log = kpltest::ReadFile(machine_->Env("SERVICES_LOG"));
        std::istringstream lines(servicesLogStart_ < log.size() ? log.substr(servicesLogStart_) : "");
        for (std::string line; std::getline(lines, line);) {
            auto at = line.find(":service:SetServiceStatus ");
            unsigned long handle;
            unsigned type, state, accepted, exit, specific, checkpoint, wait;
            // Only the service's own process reports as one (wine's own share one).
            if (at != std::string::npos &&
                std::sscanf(line.c_str() + at + 26, "%lx %x %x %x %x %x %x %x", &handle, &type, &state, &accepted,
                            &exit, &specific, &checkpoint, &wait) == 8 && type == SERVICE_WIN32_OWN_PROCESS) {
                char text[128];
                std::snprintf(text, sizeof text, "state=%u accepted=%u exit=%u checkpoint=%u waithint=%u", state,
                              accepted, exit, checkpoint, wait);
                reports.push_back(text);
            }
        }
        return reports;
    }

    bool ReadRegistry(const std::string& key, const std::string& value, std::string& data) override
    {
        if (!machine_)
            return false;
        auto result = machine_->Wine({"reg", "query", key, "/v", value});
        std::istringstream lines(result.output);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream words(line);
            std::string name, type;
            if (!(words >> name >> type) || name != value)
                continue;
            std::getline(words, data);
            data.erase(0, data.find_first_not_of(" \t"));
            while (!data.empty() && (data.back() == '\r' || data.back() == ' '))
                data.pop_back();
            if (type == "REG_DWORD")
                data = std::to_string(std::strtoul(data.c_str(), nullptr, 16));
            return true;
        }
        return false;
    }

    void Finish() override
    {
        if (service_) {
            int status;
            if (!service_->Wait(std::chrono::milliseconds(0), &status)) {
                service_->Signal(SIGKILL);
                service_->Wait(std::chrono::milliseconds(10000), &status);
            }
            service_.reset();
        }
        if (machine_ != nullptr) {
            // The task manager a secure attention key started in debug mode
            // would keep the focus from the next scenario's key target.
            if (Console().find("now starting taskmgr.exe") != std::string::npos)
                machine_->Wine({"taskkill", "/f", "/im", "taskmgr.exe"});
            if (started_ && State() != 1)
                machine_->Wine({"sc", "stop", "Kpl"});
            if (Installed())
                machine_->Wine({machine_->Env("KPL_EXE"), "-remove"});
            // The next scenario's key target must get the focus.
            if (targetPid_ > 0) {
                kill(targetPid_, SIGTERM);
                kpltest::WaitUntil([&] { return kill(targetPid_, 0) != 0; }, std::chrono::milliseconds(10000));
                targetPid_ = 0;
            }
        }
        installedByUs_ = false;
        started_ = false;
        debug_ = false;
        dir_.reset();
    }

private:
    // The machine set up for the scenario, once its registry is known.
    bool Ready(std::string& error)
    {
        if (machine_ != nullptr)
            return true;
        bool german = false;
        for (const auto& block : pending_)
            german = german || WantsGerman(block);
        auto& machine = machines_[german];
        if (!machine) {
            machine = std::make_unique<Machine>(script_, german);
            if (!machine->Up(error))
                return false;
        }
        machine_ = machine.get();
        dir_ = std::make_unique<kpltest::TempDir>();
        auto reset = machine_->Script({"reset", machine_->Dir()});
        auto com = machine_->Script({"com", machine_->Dir(), "COM3", port_});
        if (reset.exitStatus != 0 || com.exitStatus != 0) {
            error = "machine reset: " + reset.output + com.output;
            return false;
        }
        for (const auto& block : pending_)
            if (!Import(block, error))
                return false;
        pending_.clear();
        if (!driverPresent_ && !DriverService(error))
            return false;
        // The key target in front, before the service types.
        std::vector<std::string> args{"/bin/bash", script_, "target", machine_->Dir(), dir_->File("keys.log"), "600"};
        if (winlogon_)
            args.push_back("--winlogon");
        auto target = kpltest::RunProcess(args, {}, std::chrono::milliseconds(40000));
        targetPid_ = std::atoi(target.output.c_str());
        if (target.exitStatus != 0 || targetPid_ <= 0) {
            error = "the key target did not come up: " + target.output;
            return false;
        }
        return true;
    }

    bool Import(const std::string& block, std::string& error)
    {
        std::string file = dir_ ? dir_->File("import.reg") : machine_->Dir() + "/import.reg";
        std::string text = "Windows Registry Editor Version 5.00\r\n\r\n";
        std::istringstream lines(block);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("Windows Registry Editor", 0) != 0)
                text += line + "\r\n";
        kpltest::WriteFile(file, text);
        auto result = machine_->Script({"reg", machine_->Dir(), file});
        if (result.exitStatus != 0) {
            error = "reg import: " + result.output;
            return false;
        }
        return true;
    }

    bool DriverService(std::string& error)
    {
        auto result = machine_->Wine({"sc", driverPresent_ ? "start" : "stop", "Pgw"});
        if (result.exitStatus != 0 && result.output.find("1062") == std::string::npos &&
            result.output.find("1056") == std::string::npos) {
            error = "sc for Pgw: " + result.output;
            return false;
        }
        return true;
    }

    bool Installed() { return machine_ != nullptr && machine_->Wine({"sc", "query", "Kpl"}).exitStatus == 0; }

    // The service's state as sc query tells it (1 stopped ... 4 running).
    unsigned State()
    {
        auto result = machine_->Wine({"sc", "query", "Kpl"});
        unsigned state = 0;
        auto at = result.output.find("STATE");
        if (at != std::string::npos)
            std::sscanf(result.output.c_str() + result.output.find(':', at) + 1, "%u", &state);
        return state;
    }

    std::string script_;
    const MessageTable& table_;
    std::map<bool, std::unique_ptr<Machine>> machines_;  // by German locale
    Machine* machine_ = nullptr;
    std::unique_ptr<kpltest::TempDir> dir_;
    std::unique_ptr<kpltest::Process> service_;
    int targetPid_ = 0;
    std::vector<std::string> pending_;
    std::string port_;
    bool debug_ = false;
    bool started_ = false;
    bool installedByUs_ = false;
    bool winlogon_ = true;
    bool driverPresent_ = true;
    std::size_t servicesLogStart_ = 0;
};

}  // namespace

std::unique_ptr<Target> MakeWineTarget(const std::string& machineScript, const MessageTable& table)
{
    return std::make_unique<WineTarget>(machineScript, table);
}

}  // namespace scenario
