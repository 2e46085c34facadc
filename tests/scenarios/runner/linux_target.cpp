// The Linux build as a target: VkKplSvc over the project's Win32 layer,
// its machine described by a registry file in a temporary directory; keys
// from the key journal, events from the console (-debug) or the event log
// file, service states from the systemd notify messages.
#include "tests/scenarios/runner/linux_target.h"

#include "platform/win32.h"
#include "tests/scenarios/runner/observations.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>

namespace scenario {

namespace {

// "2026-12-06T22:13:11.123Z" in ms.
long long StampMs(const std::string& stamp)
{
    std::tm t{};
    unsigned ms = 0;
    if (std::sscanf(stamp.c_str(), "%d-%d-%dT%d:%d:%d.%uZ", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min,
                    &t.tm_sec, &ms) != 7)
        return 0;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    return static_cast<long long>(timegm(&t)) * 1000 + ms;
}

HKEY RootKey(const std::string& name)
{
    if (name == "HKEY_LOCAL_MACHINE" || name == "HKLM")
        return HKEY_LOCAL_MACHINE;
    if (name == "HKEY_CURRENT_USER" || name == "HKCU")
        return HKEY_CURRENT_USER;
    return nullptr;
}

bool SplitKeyPath(const std::string& path, HKEY& root, std::string& subkey)
{
    auto slash = path.find('\\');
    root = RootKey(path.substr(0, slash));
    subkey = slash == std::string::npos ? "" : path.substr(slash + 1);
    return root != nullptr;
}

// A quoted .reg string: "text" with \" and \\ inside.
std::string Unquote(const std::string& text)
{
    std::string out;
    for (std::size_t i = 1; i + 1 < text.size(); ++i) {
        if (text[i] == '\\' && i + 2 < text.size())
            ++i;
        out += text[i];
    }
    return out;
}

class Notifications {
public:
    bool Bind(const std::string& path)
    {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        return fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Notifications()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    const std::vector<std::string>& Messages()
    {
        char buffer[512];
        for (ssize_t n; fd_ >= 0 && (n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;)
            messages_.emplace_back(buffer, static_cast<std::size_t>(n));
        return messages_;
    }

private:
    int fd_ = -1;
    std::vector<std::string> messages_;
};

class LinuxTarget : public Target {
public:
    LinuxTarget(std::string service, const MessageTable& table) : service_(std::move(service)), table_(table) {}

    std::string Name() const override { return "linux"; }

    bool Prepare(const std::string& portPath, std::string& error) override
    {
        dir_ = std::make_unique<kpltest::TempDir>();
        registry_ = dir_->File("machine.reg");
        kpltest::WriteFile(registry_, "Windows Registry Editor Version 5.00\r\n\r\n"
                                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost]\r\n"
                                      "\"EventLogFile\"=\"" + dir_->File("events.log") + "\"\r\n"
                                      "\"KeyJournal\"=\"" + dir_->File("keys.journal") + "\"\r\n"
                                      "\"ServiceUnitDir\"=\"" + dir_->File("units") + "\"\r\n"
                                      "\"RuntimeDir\"=\"" + dir_->File("run") + "\"\r\n\r\n"
                                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost\\Ports]\r\n"
                                      "\"COM3\"=\"" + portPath + "\"\r\n");
        mkdir(dir_->File("units").c_str(), 0755);
        mkdir(dir_->File("run").c_str(), 0755);
        // The runner edits and reads the machine's registry through the layer itself.
        setenv("KPL_REGISTRY", registry_.c_str(), 1);
        notify_ = std::make_unique<Notifications>();
        if (!notify_->Bind(dir_->File("notify"))) {
            error = "cannot bind the notify socket";
            return false;
        }
        return true;
    }

    bool ApplyRegistry(const std::string& block, std::string& error) override
    {
        HKEY key = nullptr;
        std::istringstream lines(block);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("Windows Registry Editor", 0) == 0)
                continue;
            if (line.front() == '[') {
                if (key != nullptr)
                    RegCloseKey(key);
                key = nullptr;
                bool remove = line.size() > 1 && line[1] == '-';
                HKEY root;
                std::string subkey;
                if (!SplitKeyPath(line.substr(remove ? 2 : 1, line.find(']') - (remove ? 2 : 1)), root, subkey)) {
                    error = "registry: unknown root in " + line;
                    return false;
                }
                if (remove) {
                    RegDeleteKeyA(root, subkey.c_str());
                } else if (RegCreateKeyExA(root, subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                           nullptr) != ERROR_SUCCESS) {
                    error = "registry: cannot create " + line;
                    return false;
                }
                continue;
            }
            auto equals = line.find("\"=");
            if (key == nullptr || line.front() != '"' || equals == std::string::npos) {
                error = "registry: cannot apply '" + line + "'";
                return false;
            }
            std::string name = Unquote(line.substr(0, equals + 1));
            std::string data = line.substr(equals + 2);
            LONG status;
            if (data == "-") {
                status = RegDeleteValueA(key, name.c_str());
                if (status == ERROR_FILE_NOT_FOUND)
                    status = ERROR_SUCCESS;
            } else if (data.rfind("dword:", 0) == 0) {
                DWORD value = static_cast<DWORD>(std::strtoul(data.c_str() + 6, nullptr, 16));
                status = RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4);
            } else if (data.size() >= 2 && data.front() == '"') {
                std::string text = Unquote(data);
                status = RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                        static_cast<DWORD>(text.size() + 1));
            } else {
                error = "registry: only strings, dwords and deletions: '" + line + "'";
                return false;
            }
            if (status != ERROR_SUCCESS) {
                error = "registry: '" + line + "' failed with " + std::to_string(status);
                return false;
            }
        }
        if (key != nullptr)
            RegCloseKey(key);
        return true;
    }

    bool SetDriverPresent(bool present, std::string& error) override
    {
        return ApplyRegistry(std::string("[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost\\Pgw]\n\"Present\"=dword:0000000") +
                                 (present ? "1" : "0") + "\n",
                             error);
    }

    bool SetWinlogonPresent(bool present, std::string& error) override
    {
        error = "the Linux layer's window station always has the desktop Winlogon";
        return present;
    }

    bool Start(const std::string& mode, std::string& error) override
    {
        debug_ = mode == "debug";
        std::map<std::string, std::string> env{{"KPL_REGISTRY", registry_}};
        if (!debug_)
            env["NOTIFY_SOCKET"] = dir_->File("notify");
        service_process_ = std::make_unique<kpltest::Process>(
            debug_ ? std::vector<std::string>{service_, "-debug"} : std::vector<std::string>{service_}, env);
        (void)error;
        return true;
    }

    bool Stop(std::string& error) override
    {
        if (!service_process_) {
            error = "the service was not started";
            return false;
        }
        service_process_->Signal(debug_ ? SIGINT : SIGTERM);
        return true;
    }

    bool Exited(int& status) override
    {
        return service_process_ && service_process_->Wait(std::chrono::milliseconds(0), &status);
    }

    CommandResult Command(const std::vector<std::string>& arguments) override
    {
        std::vector<std::string> argv{service_};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        auto result = kpltest::RunProcess(argv, {{"KPL_REGISTRY", registry_}}, std::chrono::milliseconds(30000));
        return {result.exitStatus, result.output};
    }

    std::vector<KeyObservation> Keys() override
    {
        std::vector<KeyObservation> keys;
        std::istringstream lines(kpltest::ReadFile(dir_->File("keys.journal")));
        for (std::string line; std::getline(lines, line);) {
            KeyObservation key;
            char desktop[32] = "";
            unsigned flags = 0, wparam = 0, lparam = 0;
            auto space = line.find(' ');
            if (space == std::string::npos)
                continue;
            key.ms = StampMs(line.substr(0, space));
            const char* rest = line.c_str() + space + 1;
            if (std::sscanf(rest, "keybd_event desktop=%31s vk=%x scan=%x flags=%x", desktop, &key.vk, &key.scan,
                            &flags) == 4) {
                key.kind = (flags & 2) ? KeyObservation::Up : KeyObservation::Down;
                key.extended = (flags & 1) != 0;
            } else if (std::sscanf(rest, "hotkey desktop=%31s wparam=%x lparam=%x", desktop, &wparam, &lparam) == 3) {
                key.kind = KeyObservation::HotKey;
            } else {
                continue;
            }
            key.desktop = desktop;
            keys.push_back(key);
        }
        DeriveRepeatsAndText(keys);
        return keys;
    }

    std::vector<EventObservation> Events() override
    {
        if (debug_)
            return ConsoleEvents(Console(), table_);
        std::vector<EventObservation> events;
        std::istringstream lines(kpltest::ReadFile(dir_->File("events.log")));
        for (std::string line; std::getline(lines, line);) {
            // "<stamp> <Type> 0x<ID> <text>[ data=XX XX]"
            std::istringstream fields(line);
            std::string stamp, type, id;
            if (!(fields >> stamp >> type >> id))
                continue;
            std::string text;
            std::getline(fields, text);
            EventObservation event{static_cast<unsigned>(std::strtoul(id.c_str(), nullptr, 16)), text.substr(1), ""};
            auto data = event.text.rfind(" data=");
            if (data != std::string::npos) {
                event.data = event.text.substr(data + 6);
                event.text.erase(data);
            }
            events.push_back(event);
        }
        return events;
    }

    std::string Console() override { return service_process_ ? service_process_->Output() : ""; }

    std::vector<std::string> States() override
    {
        std::vector<std::string> states;
        for (const auto& m : Reports()) {
            if (m.rfind("READY=1", 0) == 0)
                states.push_back("RUNNING");
            else if (m.rfind("STOPPING=1", 0) == 0)
                states.push_back("STOP_PENDING");
            else if (m.rfind("STATUS=Starting", 0) == 0)
                states.push_back("START_PENDING");
            else if (m.rfind("STATUS=Stopped", 0) == 0)
                states.push_back("STOPPED");
        }
        return states;
    }

    std::vector<std::string> Reports() override { return notify_ ? notify_->Messages() : std::vector<std::string>{}; }

    bool ReadRegistry(const std::string& keyPath, const std::string& value, std::string& data) override
    {
        HKEY root, key;
        std::string subkey;
        if (!SplitKeyPath(keyPath, root, subkey) || RegOpenKeyExA(root, subkey.c_str(), 0, KEY_QUERY_VALUE, &key) != 0)
            return false;
        BYTE buffer[512];
        DWORD type = 0, size = sizeof buffer - 1;
        LONG status = RegQueryValueExA(key, value.c_str(), nullptr, &type, buffer, &size);
        RegCloseKey(key);
        if (status != ERROR_SUCCESS)
            return false;
        if (type == REG_DWORD && size == 4) {
            data = std::to_string(buffer[0] | buffer[1] << 8 | buffer[2] << 16 | static_cast<DWORD>(buffer[3]) << 24);
        } else {
            buffer[size] = 0;
            data = reinterpret_cast<char*>(buffer);
        }
        return true;
    }

    void Finish() override
    {
        service_process_.reset();  // kills a service that still runs
        notify_.reset();
        unsetenv("KPL_REGISTRY");
        dir_.reset();
    }

private:
    std::string service_;
    const MessageTable& table_;
    std::unique_ptr<kpltest::TempDir> dir_;
    std::string registry_;
    std::unique_ptr<Notifications> notify_;
    std::unique_ptr<kpltest::Process> service_process_;
    bool debug_ = false;
};

}  // namespace

std::unique_ptr<Target> MakeLinuxTarget(const std::string& service, const MessageTable& table)
{
    return std::make_unique<LinuxTarget>(service, table);
}

}  // namespace scenario
