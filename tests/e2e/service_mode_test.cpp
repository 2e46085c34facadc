// The service as systemd runs it: status reports as notify messages, SIGTERM
// as the stop control, and removal of a running service from the console.
#include "tests/e2e/service_fixture.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

namespace {

using kpltest::ServiceTest;
using std::chrono::milliseconds;

// The socket systemd listens on for a service's notify messages.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : path_(path)
    {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~NotifySocket() { close(fd_); }
    bool Bound() const { return bound_; }
    const std::string& Path() const { return path_; }

    // Messages received so far, in order.
    std::vector<std::string> Messages()
    {
        char buffer[512];
        for (;;) {
            ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n < 0)
                break;
            messages_.emplace_back(buffer, static_cast<std::size_t>(n));
        }
        return messages_;
    }
    bool WaitFor(const std::string& text, milliseconds timeout = milliseconds(10000))
    {
        return kpltest::WaitUntil(
            [&] {
                for (const auto& m : Messages())
                    if (m.find(text) != std::string::npos)
                        return true;
                return false;
            },
            timeout);
    }

private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
    std::vector<std::string> messages_;
};

class ServiceMode : public ServiceTest {
protected:
    NotifySocket notify{dir.File("notify")};

    void SetUp() override
    {
        ServiceTest::SetUp();
        ASSERT_TRUE(notify.Bound());
        std::filesystem::create_directory(dir.File("units"));
        std::filesystem::create_directory(dir.File("run"));
        WriteRegistry("");
    }
    void WriteRegistry(const std::string& more)
    {
        ServiceTest::WriteRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost]\r\n\"ServiceUnitDir\"=\"" +
                                   dir.File("units") + "\"\r\n\"RuntimeDir\"=\"" + dir.File("run") + "\"\r\n\r\n" +
                                   more);
    }
    void StartAsSystemd()
    {
        service = std::make_unique<kpltest::Process>(
            std::vector<std::string>{KPL_SERVICE_EXE},
            std::map<std::string, std::string>{{"KPL_REGISTRY", RegistryPath()}, {"NOTIFY_SOCKET", notify.Path()}});
    }
    kpltest::ProcessResult Console(const std::string& option)
    {
        return kpltest::RunProcess({KPL_SERVICE_EXE, option}, {{"KPL_REGISTRY", RegistryPath()}});
    }
    std::string Events() { return kpltest::ReadFile(dir.File("events.log")); }
};

TEST_F(ServiceMode, ReadyAfterIdentificationStoppingOnSigterm)
{
    StartAsSystemd();
    ASSERT_TRUE(notify.WaitFor("READY=1")) << Output();
    ASSERT_TRUE(WaitForPolls(3));
    service->Signal(SIGTERM);
    int status = -1;
    ASSERT_TRUE(service->Wait(milliseconds(15000), &status)) << Output();
    EXPECT_EQ(status, 0);

    auto messages = notify.Messages();
    ASSERT_GE(messages.size(), 4u);
    EXPECT_EQ(messages.front(), "STATUS=Starting (check point 1, wait hint 3000 ms)");
    EXPECT_EQ(messages[1], "READY=1\nSTATUS=Running");
    EXPECT_EQ(messages[2].rfind("STOPPING=1\n", 0), 0u) << messages[2];
    EXPECT_EQ(messages.back(), "STATUS=Stopped");
    EXPECT_EQ(model.LastLedPattern(), kplsim::LedPattern{});
    // Service mode logs to the event log, not the console.
    EXPECT_NE(Events().find("Information 0x4000001A Keypanel version 01.23 found"), std::string::npos) << Events();
    EXPECT_NE(Events().find("Information 0x40000013 The Keypanel Service has stopped successfully."), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir.File("run/kpl.status")));
}

TEST_F(ServiceMode, FailedStartUpStillReportsStopped)
{
    WriteRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost\\Pgw]\r\n\"Present\"=dword:00000000\r\n");
    StartAsSystemd();
    EXPECT_EQ(WaitForExit(), 0);
    auto messages = notify.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages.back(), "STATUS=Stopped");
    EXPECT_NE(Events().find("Error 0xC0000001 Open of Panel Gateway failed"), std::string::npos) << Events();
}

TEST_F(ServiceMode, RemovalStopsARunningService)
{
    EXPECT_EQ(Console("-install").output, "Keypanel Service installed.\n");
    StartAsSystemd();
    ASSERT_TRUE(notify.WaitFor("READY=1")) << Output();
    auto removal = Console("-remove");
    EXPECT_EQ(removal.exitStatus, 0);
    // Stopped within two seconds: at most one full stop while it waits.
    const std::string oneDot = "Stopping Keypanel Service..\nKeypanel Service stopped.\nKeypanel Service removed.\n";
    const std::string noDot = "Stopping Keypanel Service.\nKeypanel Service stopped.\nKeypanel Service removed.\n";
    EXPECT_TRUE(removal.output == noDot || removal.output == oneDot) << removal.output;
    EXPECT_EQ(WaitForExit(), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.File("units/kpl.service")));
    // Not running any more: removal finds nothing to remove.
    EXPECT_EQ(Console("-remove").output,
              "OpenService failed - The specified service does not exist as an installed service. (0x424)\n");
}

TEST_F(ServiceMode, UnitFileNamesTheServiceAndItsDependencies)
{
    EXPECT_EQ(Console("-install").output, "Keypanel Service installed.\n");
    std::string unit = kpltest::ReadFile(dir.File("units/kpl.service"));
    EXPECT_NE(unit.find("Description=Keypanel Service\n"), std::string::npos) << unit;
    EXPECT_EQ(unit.find("Requires="), std::string::npos) << unit;  // none of the Windows services exists here
    EXPECT_NE(unit.find("Environment=KPL_REGISTRY=" + RegistryPath() + "\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("Type=notify\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find(std::string("ExecStart=") + KPL_SERVICE_EXE + "\n"), std::string::npos) << unit;
    // The Event Viewer's source entry, and its removal.
    std::string registry = kpltest::ReadFile(RegistryPath());
    EXPECT_NE(registry.find("Services\\EventLog\\Application\\Kpl]"), std::string::npos) << registry;
    EXPECT_NE(registry.find("\"TypesSupported\"=dword:00000007"), std::string::npos) << registry;
    EXPECT_EQ(Console("-remove").output, "Keypanel Service removed.\n");
    EXPECT_EQ(kpltest::ReadFile(RegistryPath()).find("EventLog\\Application\\Kpl]"), std::string::npos);
}

}  // namespace
