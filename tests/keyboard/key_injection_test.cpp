// Scan-code records decoded into key events, read back from the key journal.
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
    std::string Traced(const Bytes& codes)
    {
        DebugMode = 1;
        testing::internal::CaptureStdout();
        Send(codes);
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

struct DecodeCase {
    const char* name;
    Bytes codes;
    Lines journal;
};

TEST_F(KeyInjection, DecodesEachShapeOfKeyEvent)
{
    const DecodeCase cases[] = {
        {"make", {0x1C}, {Key('A', 0x1E, 0)}},
        {"break", {0xF0, 0x1C}, {Key('A', 0x1E, Up)}},
        {"extended make", {0xE0, 0x71}, {Key(VK_DELETE, 0x53, Ext)}},
        {"extended break", {0xE0, 0xF0, 0x71}, {Key(VK_DELETE, 0x53, Ext | Up)}},
        {"pause make", {0xE1, 0x14, 0x77}, {Key(VK_PAUSE, 0x45, 0)}},
        {"pause break", {0xE1, 0xF0, 0x14, 0xF0, 0x77}, {Key(VK_PAUSE, 0x45, Up)}},
        {"print screen", {0xE0, 0x12, 0xE0, 0x7C}, {Key(VK_SNAPSHOT, 0x37, Ext)}},
        {"shifted A",
         {0x12, 0x1C, 0xF0, 0x1C, 0xF0, 0x12},
         {Key(VK_LSHIFT, 0x2A, 0), Key('A', 0x1E, 0), Key('A', 0x1E, Up), Key(VK_LSHIFT, 0x2A, Up)}},
        {"ends inside an E0 event", {0x14, 0x11, 0xE0}, {Key(VK_LCONTROL, 0x1D, 0), Key(VK_LMENU, 0x38, 0)}},
        {"ends after F0", {0x1C, 0xF0}, {Key('A', 0x1E, 0)}},
        {"ends after E1", {0xE1}, {}},
        {"ends inside the E1 event", {0xE1, 0x14}, {}},
        {"codes without a virtual key", {0x00, 0x13, 0x7F, 0xE0, 0x37, 0xE0, 0x12}, {}},
        {"empty", {}, {}},
        // E0 and E1 start a new code; an earlier F0 still counts.
        {"prefix replaces what was collected", {0xF0, 0xE0, 0x71}, {Key(VK_DELETE, 0x53, Ext | Up)}},
        {"F7 above the plain range's middle", {0x83, 0x84}, {Key(0x76, 0x41, 0), Key(VK_SNAPSHOT, 0x54, 0)}},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        Configure("");
        Send(c.codes);
        EXPECT_EQ(Journal(), c.journal);
    }
}

TEST_F(KeyInjection, NeverReadsPastTheTwentyTwoCodesOfARecordNorBeforeIt)
{
    for (int count : {0, -1, -2147483647 - 1})
        SendKeySequence(Make.data(), count);
    // 21 key-up prefixes, A at the record's last byte, B just beyond it.
    BYTE memory[24];
    std::memset(memory, 0xF0, 21);
    memory[21] = 0x1C;
    memory[22] = 0x32;
    memory[23] = 0x32;
    SendKeySequence(memory, 24);
    SendKeySequence(memory, 0x7FFF);
    EXPECT_EQ(Journal(), (Lines{Key('A', 0x1E, Up), Key('A', 0x1E, Up)}));
}


Bytes Join(const Bytes& a, const Bytes& b)
{
    Bytes all = a;
    all.insert(all.end(), b.begin(), b.end());
    return all;
}

struct CtrlAltDelCase {
    const char* name;
    std::vector<Bytes> records;
    Lines journal;
};

TEST_F(KeyInjection, CtrlAltDelBecomesTheSecureAttentionHotKeyOnlyAtTheStartOfARecord)
{
    const CtrlAltDelCase cases[] = {
        {"make alone", {Make}, {HotKeyLine("Winlogon")}},
        {"make then break in a later record", {Make, Break}, {HotKeyLine("Winlogon")}},
        {"make and break in one record", {Join(Make, Break)}, {HotKeyLine("Winlogon")}},
        {"break alone", {Break}, {}},
        {"make and more keys",
         {Join(Make, {0x1C, 0xF0, 0x1C})},
         {HotKeyLine("Winlogon"), Key('A', 0x1E, 0), Key('A', 0x1E, Up)}},
        {"separate records",
         {{0x14}, {0x11}, {0xE0, 0x71}},
         {Key(VK_LCONTROL, 0x1D, 0), Key(VK_LMENU, 0x38, 0), Key(VK_DELETE, 0x53, Ext)}},
        {"another order",
         {{0x11, 0x14, 0xE0, 0x71}},
         {Key(VK_LMENU, 0x38, 0), Key(VK_LCONTROL, 0x1D, 0), Key(VK_DELETE, 0x53, Ext)}},
        {"right ctrl",
         {{0xE0, 0x14, 0x11, 0xE0, 0x71}},
         {Key(VK_RCONTROL, 0x1D, Ext), Key(VK_LMENU, 0x38, 0), Key(VK_DELETE, 0x53, Ext)}},
        {"not at the start", {Join({0x1C}, Make)},
         {Key('A', 0x1E, 0), Key(VK_LCONTROL, 0x1D, 0), Key(VK_LMENU, 0x38, 0), Key(VK_DELETE, 0x53, Ext)}},
        {"break before make", {Join(Break, Make)},
         {Key(VK_LCONTROL, 0x1D, 0), Key(VK_LMENU, 0x38, 0), Key(VK_DELETE, 0x53, Ext)}},
    };
    for (const CtrlAltDelCase& c : cases) {
        SCOPED_TRACE(c.name);
        Configure("");
        const HWINSTA station = GetProcessWindowStation();
        const HDESK desktop = GetThreadDesktop(GetCurrentThreadId());
        Send(c.records);
        EXPECT_EQ(Journal(), c.journal);
        EXPECT_EQ(GetProcessWindowStation(), station);
        EXPECT_EQ(GetThreadDesktop(GetCurrentThreadId()), desktop);
        EXPECT_EQ(OpenSimulatedUserHandles(), 0);
    }
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
