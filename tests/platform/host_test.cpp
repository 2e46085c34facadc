// The Linux machine under the service, as its settings describe it: which
// device a port name opens, and the files that keep what was typed.
#include "platform/linux/simulation.h"
#include "platform/win32.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace {

// A mapping is used as it is, however long, or the open fails naming why:
// never another device than the one named.
TEST(HostPorts, APortOpensTheDeviceItsMappingNamesOrNone)
{
    kpltest::TempMachine dir;
    int master = -1, slave = -1;
    char pty[256];
    ASSERT_EQ(openpty(&master, &slave, pty, nullptr, nullptr), 0);
    // Longer than MAX_PATH, once cut short at 259 characters into /dev/ttyS2.
    std::string deep = dir.Path();
    while (deep.size() < 300)
        deep += "/deeper-and-deeper";
    std::filesystem::create_directories(deep);
    std::filesystem::create_symlink(pty, deep + "/line");
    const std::string missing = deep + "/missing";
    // The mapping's line (none when empty); the error, 0 when it opens; what standard error tells.
    const struct { const char* port; std::string mapping; DWORD error; std::string told; } cases[] = {
        {"COM3", "\"COM3\"=\"" + deep + "/line\"", 0, ""},
        {"COM3", "\"com3\"=\"" + missing + "\"", ERROR_FILE_NOT_FOUND, "COM3 is " + missing + ": cannot open it: "},
        {"COM3", "\"COM3\"=dword:00000001", ERROR_BAD_PATHNAME, "COM3 cannot be opened: the mapping is not a string"},
        {"COM3", "\"COM3\"=\"\"", ERROR_BAD_PATHNAME, "COM3 cannot be opened: the mapping names no device"},
        {"LPT1", "", ERROR_FILE_NOT_FOUND, "LPT1 cannot be opened: not a port name"},
        // From COM10 on only the device namespace names a port, as on Windows.
        {"COM10", "\"COM10\"=\"" + deep + "/line\"", ERROR_FILE_NOT_FOUND, "COM10 cannot be opened: not a port name"},
        {"\\\\.\\COM10", "\"COM10\"=\"" + deep + "/line\"", 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mapping);
        dir.WriteRegistry({}, {}, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost\\Ports]\n" + c.mapping + "\n");
        testing::internal::CaptureStderr();
        HANDLE port = CreateFileA(c.port, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        DWORD error = GetLastError();
        const std::string told = testing::internal::GetCapturedStderr();
        EXPECT_EQ(port != INVALID_HANDLE_VALUE, c.error == 0);
        if (port != INVALID_HANDLE_VALUE)
            CloseHandle(port);
        else
            EXPECT_EQ(error, c.error);
        EXPECT_EQ(told.rfind(c.told, 0), 0u) << told;
        EXPECT_EQ(told.empty(), c.told.empty()) << told;
    }
    close(master);
    close(slave);
}

// The key journal holds everything typed on the panel, passwords included;
// the event log file tells what happened when.
TEST(HostFiles, JournalAndEventLogAreTheOwnersOnly)
{
    kpltest::TempMachine dir;
    dir.WriteRegistry({{"KeyJournal", dir.File("keys.journal")}, {"EventLogFile", dir.File("events.log")}});
    ResetSimulatedUser();
    mode_t mask = umask(0);  // whatever the umask, the files are created so
    keybd_event(0x41, 0x1E, 0, 0);
    keybd_event(0x41, 0x1E, KEYEVENTF_KEYUP, 0);
    HANDLE source = RegisterEventSourceA(nullptr, "Kpl");
    const char* text = "started";
    EXPECT_TRUE(ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 0x40000012, nullptr, 1, 0, &text, nullptr));
    DeregisterEventSource(source);
    umask(mask);
    for (const char* name : {"keys.journal", "events.log"}) {
        struct stat st {};
        ASSERT_EQ(stat(dir.File(name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
    }
    ResetSimulatedUser();
}

}  // namespace
