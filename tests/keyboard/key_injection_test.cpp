// Decoded key events injected into the simulated desktop, read back from the
// key journal; Ctrl-Alt-Del and its fallback; the trace lines.
#include "keyboard/keyboard.h"
#include "service/log.h"
#include "tests/keyboard/simulated_machine.h"

#include <sys/stat.h>

#include <cstring>

namespace {

using Bytes = std::vector<BYTE>;
using Lines = std::vector<std::string>;

class KeyInjection : public SimulatedMachine {
protected:
    void Send(const Bytes& codes) { SendKeySequence(codes.data(), static_cast<int>(codes.size())); }
    void Send(const std::vector<Bytes>& records)
    {
        for (const Bytes& record : records)
            Send(record);
    }
    std::string Traced(const Bytes& codes, void (*send)(const BYTE*, int) = SendKeySequence)
    {
        DebugMode = 1;
        testing::internal::CaptureStdout();
        send(codes.data(), static_cast<int>(codes.size()));
        std::string output = testing::internal::GetCapturedStdout();
        DebugMode = 0;
        return output;
    }
};

std::string Key(unsigned vk, unsigned scan, unsigned flags)
{
    return KeyLine("Default", vk, scan, flags);
}

const Bytes Make = {0x14, 0x11, 0xE0, 0x71};
const Bytes Break = {0xE0, 0xF0, 0x71, 0xF0, 0x11, 0xF0, 0x14};

constexpr unsigned Ext = KEYEVENTF_EXTENDEDKEY;
constexpr unsigned Up = KEYEVENTF_KEYUP;

Bytes Join(const Bytes& a, const Bytes& b)
{
    Bytes all = a;
    all.insert(all.end(), b.begin(), b.end());
    return all;
}

TEST_F(KeyInjection, InjectsTheDecodedKeysThatHaveAVirtualKey)
{
    // Print screen: E0 12 has no virtual key. Then a shifted A.
    const Bytes codes = {0xE0, 0x12, 0xE0, 0x7C, 0x12, 0x1C, 0xF0, 0x1C, 0xF0, 0x12};
    Send(codes);
    EXPECT_EQ(Journal(), (Lines{Key(VK_SNAPSHOT, 0x37, Ext), Key(VK_LSHIFT, 0x2A, 0), Key('A', 0x1E, 0),
                                Key('A', 0x1E, Up), Key(VK_LSHIFT, 0x2A, Up)}));
    Configure("");
    SendKeyUpSequence(codes.data(), static_cast<int>(codes.size()));
    EXPECT_EQ(Journal(), (Lines{Key('A', 0x1E, Up), Key(VK_LSHIFT, 0x2A, Up)}));
}

TEST_F(KeyInjection, CtrlAltDelBecomesTheSecureAttentionHotKeyBeforeTheRestOfItsRecord)
{
    const HWINSTA station = GetProcessWindowStation();
    const HDESK desktop = GetThreadDesktop(GetCurrentThreadId());
    Send(std::vector<Bytes>{Join(Make, {0x1C, 0xF0, 0x1C}), Break});
    EXPECT_EQ(Journal(), (Lines{HotKeyLine("Winlogon"), Key('A', 0x1E, 0), Key('A', 0x1E, Up)}));
    EXPECT_EQ(GetProcessWindowStation(), station);
    EXPECT_EQ(GetThreadDesktop(GetCurrentThreadId()), desktop);
    EXPECT_EQ(OpenSimulatedUserHandles(), 0);
}

struct FailureCase {
    const char* name;
    UserCall call;
    unsigned after;
    bool posted;
    bool stationBack;
    bool desktopBack;
};

TEST_F(KeyInjection, SecureAttentionPutsBackAndClosesWhatItCanOnEveryPath)
{
    const FailureCase cases[] = {
        {"open window station", UserCall::OpenWindowStation, 0, false, true, true},
        {"set window station", UserCall::SetProcessWindowStation, 0, false, true, true},
        {"open Winlogon", UserCall::OpenDesktop, 0, false, true, true},
        {"set Winlogon", UserCall::SetThreadDesktop, 0, false, true, true},
        {"post", UserCall::PostMessage, 0, false, true, true},
        // Nothing can put back what fails to be put back; what is in use stays open.
        {"restore window station", UserCall::SetProcessWindowStation, 1, true, false, true},
        {"restore desktop", UserCall::SetThreadDesktop, 1, true, true, false},
    };
    constexpr DWORD Injected = ERROR_ACCESS_DENIED;
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        Configure("");
        // Start from a desktop of our own, as the key output thread does.
        const HDESK own = OpenInputDesktop(0, FALSE, MAXIMUM_ALLOWED);
        ASSERT_TRUE(SetThreadDesktop(own));
        const HWINSTA station = GetProcessWindowStation();
        FailSimulatedUserCall(c.call, Injected, c.after, 1);
        SetLastError(0);
        EXPECT_FALSE(SendSecureAttention());
        EXPECT_EQ(GetLastError(), Injected);
        EXPECT_EQ(GetProcessWindowStation() == station, c.stationBack);
        EXPECT_EQ(GetThreadDesktop(GetCurrentThreadId()) == own, c.desktopBack);
        EXPECT_EQ(OpenSimulatedUserHandles(), 1 + !c.stationBack + !c.desktopBack);
        EXPECT_EQ(Journal(), c.posted ? Lines{HotKeyLine("Winlogon")} : Lines{});
    }
}

TEST_F(KeyInjection, TracesEveryStepInDebugModeOnly)
{
    EXPECT_EQ(Traced({0xE0, 0x12, 0xE0, 0x7C}),
              "Send key: scan code e012e07c\n"
              "--- Key down ---\nScan code (set 2): e012h\nScan code (set 1): e02ah\n"
              "--- Key down ---\nScan code (set 2): e07ch\nScan code (set 1): e037h\n"
              "Virtual key: 2ch VK_SNAPSHOT\n");
    EXPECT_EQ(Traced({0xE1, 0xF0, 0x14, 0xF0, 0x77}),
              "Send key: scan code e1f014f077\n"
              "--- Key up ---\nScan code (set 2): e11477h\nScan code (set 1): e11d45h\n"
              "Virtual key: 13h VK_PAUSE\n");
    EXPECT_EQ(Traced(Join(Make, Break)), "Send key: scan code 1411e071e0f071f011f014\n"
                                         "Ctrl-Alt-Del make code found\n"
                                         "Ctrl-Alt-Del break code found -> ignored...\n");
    EXPECT_EQ(Traced(Join(Break, {0x12, 0xF0, 0x12}), SendKeyUpSequence),
              "Release key: scan code e0f071f011f01412f012\n"
              "--- Key up ---\nScan code (set 2): 12h\nScan code (set 1): 2ah\nVirtual key: a0h VK_LSHIFT\n");

    testing::internal::CaptureStdout();
    Send(Bytes{0x1C});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

class TaskManagerFallback : public KeyInjection {
protected:
    kpltest::ScopedEnv path{"PATH", dir.Path()};
};

TEST_F(TaskManagerFallback, StartsTheTaskManagerInDebugModeWhenTheHotKeyFails)
{
    const std::string marker = dir.File("started");
    const std::string program = dir.File("taskmgr.exe");
    kpltest::WriteFile(program, "#!/bin/sh\necho started > " + marker + "\n");
    chmod(program.c_str(), 0755);

    FailSimulatedUserCall(UserCall::OpenDesktop, ERROR_ACCESS_DENIED);
    EXPECT_EQ(Traced(Make), "Send key: scan code 1411e071\nCtrl-Alt-Del make code found\n"
                            "Can't simulate Ctrl-Alt-Del in debug mode - now starting taskmgr.exe...\n");
    EXPECT_TRUE(kpltest::WaitUntil([&] { return kpltest::ReadFile(marker) == "started\n"; }));
    EXPECT_TRUE(Journal().empty());
}

TEST_F(TaskManagerFallback, SaysSoWhenTheTaskManagerCannotStartAndStaysSilentInServiceMode)
{
    FailSimulatedUserCall(UserCall::OpenDesktop, ERROR_ACCESS_DENIED);
    testing::internal::CaptureStdout();
    Send(Make);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(Journal().empty());

    FailSimulatedUserCall(UserCall::SetThreadDesktop, ERROR_ACCESS_DENIED);
    EXPECT_EQ(Traced(Join(Make, {0x1C})),
              "Send key: scan code 1411e0711c\nCtrl-Alt-Del make code found\n"
              "Can't simulate Ctrl-Alt-Del in debug mode - now starting taskmgr.exe...\n"
              "Can't start taskmgr.exe\n"
              "--- Key down ---\nScan code (set 2): 1ch\nScan code (set 1): 1eh\nVirtual key: 41h \n");
    EXPECT_EQ(Journal(), Lines{Key('A', 0x1E, 0)});
}

}  // namespace
