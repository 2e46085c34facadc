// The Linux machine under the service, as its settings describe it: the
// files that keep what was typed. Which device a port name opens is
// port_names.scn's.
#include "platform/linux/simulation.h"
#include "platform/win32.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

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
