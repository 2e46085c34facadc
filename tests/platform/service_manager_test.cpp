// The service control manager of the Linux build: the unit -install writes,
// and what it allows the key output.
#include "platform/linux/systemd_unit.h"
#include "platform/win32.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

TEST(ServiceUnit, NamesWhatExistsOnLinuxAndWhatTheServiceNeeds)
{
    kpltest::TempMachine dir;
    std::filesystem::create_directory(dir.File("units"));
    kpltest::WriteFile(dir.File("units/exists.service"), "[Service]\nExecStart=/bin/true\n");
    dir.WriteRegistry({{"ServiceUnitDir", dir.File("units")}, {"RuntimeDir", "/run/kpl"},
                       {"EventLogFile", "/var/log/kpl/events.log"}, {"KeyJournal", "/home/op/keys.journal"}},
                      {{"COM3", "/dev/serial/by-id/usb-FTDI_x-if00"}});
    // The registry in force as the administrator named it, relative to where -install ran.
    const auto workingDirectory = std::filesystem::current_path();
    std::filesystem::current_path(dir.Path());
    kpltest::ScopedEnv registry("KPL_REGISTRY", "./machine.reg");
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr);
    SC_HANDLE service = CreateServiceA(manager, "Kpl", "Keypanel Service", SERVICE_ALL_ACCESS, 0x110,
                                       SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, "/opt/kpl/VkKplSvc", nullptr,
                                       nullptr, "Pgw\0Tlink\0Exists\0", nullptr, nullptr);
    std::filesystem::current_path(workingDirectory);
    ASSERT_NE(service, nullptr) << GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);

    const std::string unit = kpltest::ReadFile(dir.File("units/kpl.service"));
    const std::string device = "dev-serial-by\\x2did-usb\\x2dFTDI_x\\x2dif00.device";
    for (const std::string& line : std::vector<std::string>{
             "#   Pgw: its driver is part of the service's process on Linux", "#   Tlink: no such service on Linux",
          "Requires=exists.service", "After=exists.service", "Wants=" + device, "After=" + device,
          "Environment=KPL_REGISTRY=" + dir.File("machine.reg"), "Restart=on-failure", "RuntimeDirectory=kpl",
          "LogsDirectory=kpl", "ReadWritePaths=-/home/op", "ProtectHome=read-only", "ProtectSystem=strict",
          "DeviceAllow=/dev/serial/by-id/usb-FTDI_x-if00 rw", "WantedBy=multi-user.target"})
        EXPECT_NE(unit.find("\n" + line + "\n"), std::string::npos) << line << " missing from\n" << unit;
    for (const char* absent : {"pgw.service", "tlink.service", "PrivateTmp"})  // the registry is under /tmp
        EXPECT_EQ(unit.find(absent), std::string::npos) << absent << " in\n" << unit;
    EXPECT_EQ(kpltest::DirectoryEntries(dir.File("units")), (std::vector<std::string>{"exists.service", "kpl.service"}));
}

// What the key output opens, the unit allows: the virtual keyboard's device,
// or the X display's socket under /tmp.
TEST(ServiceUnit, AllowsWhatTheKeyOutputOpens)
{
    for (bool x11 : {false, true}) {
        HostSettings settings;
        settings.KeyOutput = x11 ? "x11" : "uinput";
        const ServiceEntry entry{"Kpl", "Keypanel Service", 0x10, SERVICE_AUTO_START, "/usr/sbin/VkKplSvc", ""};
        const std::string unit = ServiceUnitText(entry, settings, "/etc/kpl/kpl.reg", "/nonexistent");
        EXPECT_EQ(unit.find("\nDeviceAllow=/dev/uinput rw\n") == std::string::npos, x11) << unit;
        EXPECT_EQ(unit.find("\nPrivateTmp=yes\n") == std::string::npos, x11) << unit;
    }
}

}  // namespace
