// The Linux build as a target: VkKplSvc over the project's Win32 layer,
// its machine a registry file in a temporary directory; keys from the key
// journal, events from the event log file, the reports to the service
// manager from the systemd notify messages.
#include "platform/win32.h"
#include "tests/scenarios/runner/runner.h"
#include "tests/support/key_journal.h"
#include "tests/support/test_support.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace scenario {

namespace {

class LinuxTarget : public Target {
public:
    LinuxTarget(std::string exe, const std::string& port) : exe_(std::move(exe))
    {
        kpltest::WriteFile(registry_, "Windows Registry Editor Version 5.00\r\n\r\n"
                                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost]\r\n"
                                      "\"EventLogFile\"=\"" + dir_.File("events.log") + "\"\r\n"
                                      "\"KeyJournal\"=\"" + dir_.File("keys.journal") + "\"\r\n"
                                      "\"KeyOutput\"=\"journal\"\r\n"
                                      "\"ServiceUnitDir\"=\"" + dir_.File("units") + "\"\r\n"
                                      "\"RuntimeDir\"=\"" + dir_.File("run") + "\"\r\n\r\n"
                                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost\\Ports]\r\n"
                                      "\"COM3\"=\"" + port + "\"\r\n");
        mkdir(dir_.File("units").c_str(), 0755);
        mkdir(dir_.File("run").c_str(), 0755);
        // The runner reads the machine's registry through the layer itself.
        setenv("KPL_REGISTRY", registry_.c_str(), 1);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", dir_.File("notify").c_str());
        if (bind(notify_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            close(std::exchange(notify_, -1));
    }
    ~LinuxTarget() override
    {
        service_.reset();  // kills a service that still runs
        close(notify_);
        unsetenv("KPL_REGISTRY");
    }

    // The registry file is a .reg document whose later lines override and
    // delete what earlier ones said: an import is an addition at its end,
    // put in place whole, as the layer itself writes it.
    bool ApplyRegistry(const std::string& block, std::string& error) override
    {
        std::string next = registry_ + ".next";
        kpltest::WriteFile(next, kpltest::ReadFile(registry_) + "\r\n" + block);
        error = "cannot write " + registry_;
        return rename(next.c_str(), registry_.c_str()) == 0;
    }

    bool SetPresent(const std::string& what, bool present, std::string& error) override
    {
        error = "the Linux layer's window station always has the desktop Winlogon";
        std::string pgw = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost\\Pgw]\n\"Present\"=dword:0000000";
        return what != "driver" ? present : ApplyRegistry(pgw + std::to_string(present) + "\n", error);
    }

    bool Start(bool debug, std::string& error) override
    {
        debug_ = debug;
        error = "cannot bind the notify socket";
        if (!debug && notify_ < 0)
            return false;
        std::map<std::string, std::string> env{{"KPL_REGISTRY", registry_}};
        if (!debug_)
            env["NOTIFY_SOCKET"] = dir_.File("notify");
        service_ = std::make_unique<kpltest::Process>(debug_ ? Words{exe_, "-debug"} : Words{exe_}, env);
        return true;
    }

    bool Stop(std::string& error) override
    {
        error = "the service was not started";
        if (service_)
            service_->Signal(debug_ ? SIGINT : SIGTERM);
        return service_ != nullptr;
    }

    bool Exited(int& status) override
    {
        return service_ && service_->Wait(std::chrono::milliseconds(0), &status);
    }

    kpltest::ProcessResult Command(const Words& arguments) override
    {
        Words argv{exe_};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return kpltest::RunProcess(argv, {{"KPL_REGISTRY", registry_}}, std::chrono::milliseconds(30000));
    }

    std::vector<KeyObservation> Keys() override
    {
        std::vector<KeyObservation> keys;
        for (const kpltest::JournalEntry& entry : kpltest::ReadKeyJournal(dir_.File("keys.journal"))) {
            KeyObservation key;
            key.ms = entry.ms;
            key.kind = entry.hotKey         ? KeyObservation::HotKey
                       : (entry.flags & 2) ? KeyObservation::Up
                                           : KeyObservation::Down;
            key.vk = entry.vk;
            key.scan = entry.scan;
            key.extended = entry.flags & 1;
            key.desktop = entry.desktop;
            keys.push_back(key);
        }
        DeriveRepeatsAndText(keys);
        return keys;
    }

    // Event log lines "<stamp> <Type> 0x<ID> <text>[ data=XX XX]"; a type
    // other than the severity in the id's top bits is shown with the line.
    Words Events() override
    {
        static const std::string types[] = {"Success", "Information", "Warning", "Error"};
        Words events;
        for (const auto& line : Lines(kpltest::ReadFile(dir_.File("events.log"))))
            if (auto id = line.find(" 0x"); id != std::string::npos) {
                const std::string& type = types[std::strtoul(line.c_str() + id + 1, nullptr, 16) >> 30];
                events.push_back((line.compare(id - type.size(), type.size(), type) == 0 ? "" : "(wrong type) ") +
                                 line.substr(id + 1));
            }
        return events;
    }

    std::string Console() override { return service_ ? service_->Output() : ""; }

    Words Reports() override
    {
        char buffer[512];
        for (ssize_t n; notify_ >= 0 && (n = recv(notify_, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;)
            reports_.emplace_back(buffer, static_cast<std::size_t>(n));
        return reports_;
    }

    bool ReadRegistry(const std::string& keyPath, const std::string& value, std::string& data) override
    {
        bool user = keyPath.rfind("HKEY_CURRENT_USER\\", 0) == 0;
        HKEY key;
        if ((!user && keyPath.rfind("HKEY_LOCAL_MACHINE\\", 0) != 0) ||
            RegOpenKeyExA(user ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE, keyPath.c_str() + keyPath.find('\\') + 1, 0,
                          KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
            return false;
        BYTE buffer[512] = {};
        DWORD type = 0, size = sizeof buffer - 1;
        LONG status = RegQueryValueExA(key, value.c_str(), nullptr, &type, buffer, &size);
        RegCloseKey(key);
        DWORD number = buffer[0] | buffer[1] << 8 | buffer[2] << 16 | static_cast<DWORD>(buffer[3]) << 24;
        data = type == REG_DWORD ? std::to_string(number) : reinterpret_cast<char*>(buffer);
        return status == ERROR_SUCCESS;
    }

private:
    std::string exe_;
    kpltest::TempDir dir_;
    std::string registry_ = dir_.File("machine.reg");
    int notify_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    Words reports_;
    std::unique_ptr<kpltest::Process> service_;
    bool debug_ = false;
};

}  // namespace

Targets LinuxTargets(const std::string& service)
{
    return [service](const std::string& port) { return std::make_unique<LinuxTarget>(service, port); };
}

}  // namespace scenario
