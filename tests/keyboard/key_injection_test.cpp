// The secure attention key posted from the Winlogon desktop: whatever call
// fails, the key output thread gets its window station and desktop back and
// nothing opened on the way is left open.
#include "keyboard/keyboard.h"
#include "platform/linux/simulation.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

namespace {

class SecureAttention : public ::testing::Test {
protected:
    kpltest::TempMachine dir;

    void TearDown() override { ResetSimulatedUser(); }
    // A fresh machine whose key journal holds only what this case posts.
    void FreshMachine()
    {
        dir.WriteRegistry({{"KeyJournal", dir.File("keys.journal")}});
        ResetSimulatedUser();
        std::remove(dir.File("keys.journal").c_str());
    }
};

TEST_F(SecureAttention, PutsBackAndClosesWhatItCanOnEveryPath)
{
    const struct { const char* name; SimulatedCall call; unsigned after; bool posted, stationBack, desktopBack; } cases[] = {
        {"open window station", SimulatedCall::OpenWindowStation, 0, false, true, true},
        {"set window station", SimulatedCall::SetProcessWindowStation, 0, false, true, true},
        {"open Winlogon", SimulatedCall::OpenDesktop, 0, false, true, true},
        {"set Winlogon", SimulatedCall::SetThreadDesktop, 0, false, true, true},
        {"post", SimulatedCall::PostMessage, 0, false, true, true},
        // Nothing can put back what fails to be put back; what is in use stays open.
        {"restore window station", SimulatedCall::SetProcessWindowStation, 1, true, false, true},
        {"restore desktop", SimulatedCall::SetThreadDesktop, 1, true, true, false},
        {"nothing fails", SimulatedCall::PostMessage, 99, true, true, true},
    };
    constexpr DWORD Injected = ERROR_ACCESS_DENIED;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FreshMachine();
        // Start from a desktop of our own, as the key output thread does.
        const HDESK own = OpenInputDesktop(0, FALSE, MAXIMUM_ALLOWED);
        ASSERT_TRUE(SetThreadDesktop(own));
        const HWINSTA station = GetProcessWindowStation();
        FailSimulatedCall(c.call, Injected, c.after, 1);
        SetLastError(0);
        const bool ok = c.posted && c.stationBack && c.desktopBack;
        EXPECT_EQ(SendSecureAttention(), ok);
        EXPECT_TRUE(ok || GetLastError() == Injected) << GetLastError();
        EXPECT_EQ(GetProcessWindowStation() == station, c.stationBack);
        EXPECT_EQ(GetThreadDesktop(GetCurrentThreadId()) == own, c.desktopBack);
        EXPECT_EQ(OpenSimulatedUserHandles(), 1 + !c.stationBack + !c.desktopBack);
        const std::string journal = kpltest::ReadFile(dir.File("keys.journal"));
        EXPECT_EQ(kpltest::CountOf(journal, "hotkey desktop=Winlogon wparam=0 lparam=002e0003"), c.posted ? 1u : 0u);
    }
}

}  // namespace
