// The keyboard world of the Linux layer: key state, settings, layout, focus,
// desktops, the journal and WinExec.
#include "tests/keyboard/simulated_machine.h"

#include <regex>
#include <thread>
#include <sys/stat.h>

namespace {

using Lines = std::vector<std::string>;

class KeyboardWorld : public SimulatedMachine {};

bool Toggled(int vk)
{
    return GetKeyState(vk) & 1;
}

bool Down(int vk)
{
    return GetKeyState(vk) < 0;
}

TEST_F(KeyboardWorld, LockStatesStartFromTheInitialIndicators)
{
    const struct {
        const char* value;
        bool num, caps, scroll;
    } cases[] = {
        {nullptr, false, false, false}, {"0", false, false, false}, {"1", false, true, false},
        {"2", true, false, false},      {"4", false, false, true},  {"7", true, true, true},
        {"junk", false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "none");
        Configure(c.value ? std::string("[HKEY_CURRENT_USER\\Control Panel\\Keyboard]\r\n"
                                        "\"InitialKeyboardIndicators\"=\"") +
                                c.value + "\"\r\n"
                          : "");
        EXPECT_EQ(Toggled(VK_NUMLOCK), c.num);
        EXPECT_EQ(Toggled(VK_CAPITAL), c.caps);
        EXPECT_EQ(Toggled(VK_SCROLL), c.scroll);
    }
}

TEST_F(KeyboardWorld, LockKeysToggleWhenTheyGoDownOnly)
{
    keybd_event(VK_CAPITAL, 0x3A, 0, 0);
    EXPECT_TRUE(Toggled(VK_CAPITAL));
    EXPECT_TRUE(Down(VK_CAPITAL));
    keybd_event(VK_CAPITAL, 0x3A, 0, 0);  // auto-repeat
    EXPECT_TRUE(Toggled(VK_CAPITAL));
    keybd_event(VK_CAPITAL, 0x3A, KEYEVENTF_KEYUP, 0);
    EXPECT_TRUE(Toggled(VK_CAPITAL));
    EXPECT_FALSE(Down(VK_CAPITAL));
    keybd_event(VK_CAPITAL, 0x3A, 0, 0);
    EXPECT_FALSE(Toggled(VK_CAPITAL));
    // Other keys never toggle.
    keybd_event('A', 0x1E, 0, 0);
    keybd_event('A', 0x1E, KEYEVENTF_KEYUP, 0);
    keybd_event('A', 0x1E, 0, 0);
    EXPECT_FALSE(Toggled('A'));
    EXPECT_TRUE(Down('A'));
}

TEST_F(KeyboardWorld, JournalLinesCarryAUtcTimeStamp)
{
    keybd_event(0xBA, 0x27, KEYEVENTF_EXTENDEDKEY | KEYEVENTF_KEYUP, 0);
    const std::string content = kpltest::ReadFile(JournalPath());
    EXPECT_TRUE(std::regex_match(content, std::regex("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z "
                                                     "keybd_event desktop=Default vk=ba scan=27 flags=3\n")))
        << content;
}

TEST_F(KeyboardWorld, KeyboardDelayAndSpeedComeFromTheirStrings)
{
    const struct {
        const char* values;
        UINT delay, speed;
    } cases[] = {
        {"", 1, 31},
        {"\"KeyboardDelay\"=\"0\"\r\n\"KeyboardSpeed\"=\"0\"\r\n", 0, 0},
        {"\"KeyboardDelay\"=\"3\"\r\n\"KeyboardSpeed\"=\"20\"\r\n", 3, 20},
        {"\"KeyboardDelay\"=\"9\"\r\n\"KeyboardSpeed\"=\"99\"\r\n", 3, 31},
        {"\"KeyboardDelay\"=\"x\"\r\n\"KeyboardSpeed\"=dword:00000005\r\n", 1, 31},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.values);
        Configure(std::string("[HKEY_CURRENT_USER\\Control Panel\\Keyboard]\r\n") + c.values);
        UINT delay = 99, speed = 99;
        ASSERT_TRUE(SystemParametersInfoA(SPI_GETKEYBOARDDELAY, 0, &delay, 0));
        ASSERT_TRUE(SystemParametersInfoA(SPI_GETKEYBOARDSPEED, 0, &speed, 0));
        EXPECT_EQ(delay, c.delay);
        EXPECT_EQ(speed, c.speed);
    }
    UINT unused = 0;
    EXPECT_FALSE(SystemParametersInfoA(0x0001, 0, &unused, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(KeyboardWorld, KeyboardLayoutIsTheFirstPreloadedOne)
{
    const struct {
        const char* preload;
        ULONG_PTR layout;
    } cases[] = {
        {nullptr, 0x04090409}, {"00000407", 0x04070407}, {"00000C07", 0x0C070C07},
        {"0000040c", 0x040C040C}, {"nonsense", 0x04090409}, {"00000000", 0x04090409},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.preload ? c.preload : "none");
        Configure(c.preload ? std::string("[HKEY_CURRENT_USER\\Keyboard Layout\\Preload]\r\n\"1\"=\"") + c.preload +
                                  "\"\r\n"
                            : "");
        EXPECT_EQ(reinterpret_cast<ULONG_PTR>(GetKeyboardLayout(0)), c.layout);
        EXPECT_EQ(GetKeyboardLayout(GetCurrentThreadId()), GetKeyboardLayout(0));
    }
}

TEST_F(KeyboardWorld, TheForegroundWindowBelongsToAnotherThread)
{
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    ASSERT_TRUE(GetGUIThreadInfo(0, &info));
    ASSERT_NE(info.hwndFocus, nullptr);
    const DWORD focusThread = GetWindowThreadProcessId(info.hwndFocus, nullptr);
    EXPECT_NE(focusThread, 0u);
    EXPECT_NE(focusThread, GetCurrentThreadId());

    info.cbSize = 48 + 1;
    EXPECT_FALSE(GetGUIThreadInfo(0, &info));
    info.cbSize = sizeof info;
    FailSimulatedUserCall(UserCall::GetGUIThreadInfo, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(GetGUIThreadInfo(0, &info));
    EXPECT_EQ(GetWindowThreadProcessId(nullptr, nullptr), 0u);
}

TEST_F(KeyboardWorld, InputDesktopFollowsTheTestHookOverTheRegistry)
{
    auto inputName = [] {
        HDESK input = OpenInputDesktop(0, FALSE, MAXIMUM_ALLOWED);
        std::string name = ObjectName(input);
        CloseDesktop(input);
        return name;
    };
    EXPECT_EQ(inputName(), "Default");
    Configure("\"InputDesktop\"=\"Winlogon\"\r\n");
    EXPECT_EQ(inputName(), "Winlogon");
    ASSERT_TRUE(SetSimulatedInputDesktop("Default"));
    EXPECT_EQ(inputName(), "Default");
    ASSERT_TRUE(SetSimulatedInputDesktop(nullptr));
    EXPECT_EQ(inputName(), "Winlogon");
    EXPECT_FALSE(SetSimulatedInputDesktop("Screen-saver"));
    EXPECT_EQ(OpenSimulatedUserHandles(), 0);
}

TEST_F(KeyboardWorld, KeysGoToTheDesktopOfTheInjectingThread)
{
    const HDESK start = GetThreadDesktop(GetCurrentThreadId());
    EXPECT_EQ(ObjectName(start), "Default");
    EXPECT_EQ(ObjectName(GetProcessWindowStation()), "WinSta0");

    HDESK winlogon = OpenDesktopA("winlogon", 0, FALSE, 0x1FF);
    ASSERT_NE(winlogon, nullptr);
    ASSERT_TRUE(SetThreadDesktop(winlogon));
    keybd_event('A', 0x1E, 0, 0);
    // A desktop in use cannot be closed.
    EXPECT_FALSE(CloseDesktop(winlogon));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
    ASSERT_TRUE(SetThreadDesktop(start));
    keybd_event('A', 0x1E, KEYEVENTF_KEYUP, 0);
    EXPECT_TRUE(CloseDesktop(winlogon));
    EXPECT_FALSE(CloseDesktop(winlogon));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetThreadDesktop(winlogon));
    EXPECT_EQ(Journal(), (Lines{KeyLine("Winlogon", 'A', 0x1E, 0), KeyLine("Default", 'A', 0x1E, 2)}));
    EXPECT_EQ(OpenDesktopA("Screen-saver", 0, FALSE, 0x1FF), nullptr);
    EXPECT_EQ(OpenWindowStationA("Service-0x0-3e7$", FALSE, WINSTA_ALL_ACCESS), nullptr);
}

TEST_F(KeyboardWorld, ThreadsHaveDesktopsOfTheirOwnAndLeaveThemWhenTheyEnd)
{
    HDESK winlogon = OpenDesktopA("Winlogon", 0, FALSE, 0x1FF);
    std::thread worker([winlogon] {
        SetThreadDesktop(winlogon);
        keybd_event(VK_RETURN, 0x1C, 0, 0);
    });
    worker.join();
    keybd_event(VK_RETURN, 0x1C, KEYEVENTF_KEYUP, 0);
    EXPECT_EQ(Journal(), (Lines{KeyLine("Winlogon", VK_RETURN, 0x1C, 0), KeyLine("Default", VK_RETURN, 0x1C, 2)}));
    EXPECT_TRUE(CloseDesktop(winlogon));
}

TEST_F(KeyboardWorld, HotKeyBroadcastsAreJournaled)
{
    EXPECT_TRUE(PostMessageA(HWND_BROADCAST, WM_HOTKEY, 0x10, 0x12345678));
    EXPECT_TRUE(PostMessageA(HWND_BROADCAST, WM_USER, 0, 0));
    EXPECT_FALSE(PostMessageA(reinterpret_cast<HWND>(ULONG_PTR{0x1234}), WM_HOTKEY, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_EQ(Journal(), Lines{"hotkey desktop=Default wparam=10 lparam=12345678"});
}

TEST_F(KeyboardWorld, WinExecStartsProgramsFromThePath)
{
    kpltest::ScopedEnv path("PATH", dir.Path());
    const std::string program = dir.File("tool");
    kpltest::WriteFile(program, "#!/bin/sh\necho \"$1\" > " + dir.File("argument") + "\n");
    chmod(program.c_str(), 0755);
    EXPECT_GT(WinExec("tool \"two words\"", SW_SHOW), 31u);
    EXPECT_TRUE(kpltest::WaitUntil([&] { return kpltest::ReadFile(dir.File("argument")) == "two words\n"; }));
    EXPECT_EQ(WinExec("taskmgr.exe", SW_SHOW), static_cast<UINT>(ERROR_FILE_NOT_FOUND));
    EXPECT_LE(WinExec("", SW_SHOW), 31u);
    kpltest::WriteFile(dir.File("data"), "not a program");
    EXPECT_LE(WinExec("data", SW_SHOW), 31u);
}

}  // namespace
