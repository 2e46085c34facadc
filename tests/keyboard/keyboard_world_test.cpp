// The keyboard world of the Linux layer: key state, desktops and the journal.
#include "tests/keyboard/simulated_machine.h"

#include <regex>

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
        {nullptr, false, false, false}, {"1", false, true, false}, {"2", true, false, false},
        {"4", false, false, true},      {"junk", false, false, false},
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

TEST_F(KeyboardWorld, HotKeyBroadcastsAreJournaled)
{
    EXPECT_TRUE(PostMessageA(HWND_BROADCAST, WM_HOTKEY, 0x10, 0x12345678));
    EXPECT_TRUE(PostMessageA(HWND_BROADCAST, WM_USER, 0, 0));
    EXPECT_FALSE(PostMessageA(reinterpret_cast<HWND>(ULONG_PTR{0x1234}), WM_HOTKEY, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_EQ(Journal(), Lines{"hotkey desktop=Default wparam=10 lparam=12345678"});
}

}  // namespace
