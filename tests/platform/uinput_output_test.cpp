// The uinput key output against a model of /dev/uinput, which CI lacks: the
// set-up requests, the events written for keybd_event, the LED events the
// machine sends back, and the device gone at the stop.
#include "platform/linux/key_output.h"
#include "platform/linux/simulation.h"
#include "platform/linux/uinput_device.h"
#include "platform/win32.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/uinput.h>

#include <algorithm>
#include <cerrno>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

// One request or event the device met: an ioctl and its argument, or an
// event's type, code and value; or the close.
struct Call {
    unsigned long what, code = 0;
    long value = 0;
    bool operator==(const Call&) const = default;
};
void PrintTo(const Call& c, std::ostream* out) { *out << std::hex << c.what << std::dec << ' ' << c.code << ' ' << c.value; }

// Every call comes from the test's thread: the output has none of its own.
struct UinputModel {
    std::string name;
    int flags = 0, openErrno = 0;
    unsigned long failRequest = 0;  // this ioctl fails with EINVAL
    std::set<unsigned long> keyBits;
    std::vector<Call> calls;  // but the key bits
    std::vector<input_event> toRead;
};
UinputModel* Model = nullptr;

const UinputCalls ModelCalls = {
    [](const char*, int flags) {
        Model->flags = flags;
        errno = Model->openErrno;
        return errno ? -1 : 77;
    },
    [](int, unsigned long request, unsigned long argument) {
        errno = EINVAL;
        if (request == Model->failRequest)
            return -1;
        if (request == UI_SET_KEYBIT) {
            Model->keyBits.insert(argument);
        } else if (request == UI_DEV_SETUP) {
            const auto* setup = reinterpret_cast<const uinput_setup*>(argument);
            Model->name = setup->name;
            Model->calls.push_back({request, setup->id.bustype});
        } else {
            Model->calls.push_back({request, argument});
        }
        return 0;
    },
    [](int, const void* data, size_t size) -> ssize_t {
        const auto* events = static_cast<const input_event*>(data);
        for (size_t i = 0; i < size / sizeof *events; ++i)
            Model->calls.push_back({events[i].type, events[i].code, events[i].value});
        return static_cast<ssize_t>(size);
    },
    [](int, void* data, size_t size) -> ssize_t {  // non-blocking, as the output opens it
        const size_t got = std::min(Model->toRead.size(), size / sizeof(input_event));
        std::copy_n(Model->toRead.begin(), got, static_cast<input_event*>(data));
        Model->toRead.erase(Model->toRead.begin(), Model->toRead.begin() + static_cast<long>(got));
        errno = EAGAIN;
        return got ? static_cast<ssize_t>(got * sizeof(input_event)) : -1;
    },
    [](int) {
        Model->calls.push_back({~0UL});
        return 0;
    },
};

constexpr Call Syn{EV_SYN, SYN_REPORT}, Destroy{UI_DEV_DESTROY}, Closed{~0UL};
Call Key(unsigned short key, int value) { return {EV_KEY, key, value}; }
using Keys = std::vector<std::pair<unsigned long, long>>;  // (key, value)

struct Typed {
    BYTE vk, scan;
    DWORD flags = 0;
};
constexpr DWORD Up = KEYEVENTF_KEYUP, Ext = KEYEVENTF_EXTENDEDKEY;

class UinputOutput : public ::testing::Test {
protected:
    kpltest::TempMachine dir;
    UinputModel model;

    void SetUp() override
    {
        Model = &model;
        UinputDevice = &ModelCalls;
        dir.WriteRegistry({{"KeyOutput", "uinput"}}, {},
                          "[HKEY_CURRENT_USER\\Control Panel\\Keyboard]\n\"KeyboardDelay\"=\"2\"\n"
                          "\"KeyboardSpeed\"=\"31\"\n\"InitialKeyboardIndicators\"=\"2\"\n");
        ResetSimulatedUser();
    }
    void TearDown() override
    {
        CloseKeyOutput();
        UinputDevice = &SystemUinputCalls;
        Model = nullptr;
    }
    void Open()
    {
        DWORD error = 0;
        ASSERT_TRUE(OpenKeyOutput(&error)) << error;
        model.calls.clear();
    }
    // The key events written, each a declared key followed by its sync.
    Keys KeysWritten()
    {
        Keys keys;
        for (std::size_t i = 0; i < model.calls.size(); ++i)
            if (model.calls[i].what == EV_KEY) {
                keys.emplace_back(model.calls[i].code, model.calls[i].value);
                EXPECT_TRUE(model.keyBits.contains(model.calls[i].code)) << model.calls[i].code;
                EXPECT_TRUE(i + 1 < model.calls.size() && model.calls[i + 1] == Syn);
            }
        return keys;
    }
    void Feed(std::initializer_list<std::pair<unsigned short, int>> leds)
    {
        for (auto [led, on] : leds)
            model.toRead.insert(model.toRead.end(), {{{}, EV_LED, led, on}, {{}, EV_SYN, SYN_REPORT, 0}});
    }
};

TEST_F(UinputOutput, DeclaresOneKeyboardWithItsKeysLedsAndTheKernelsRepeat)
{
    DWORD error = 0;
    ASSERT_TRUE(OpenKeyOutput(&error)) << error;
    EXPECT_EQ(model.flags & (O_ACCMODE | O_NONBLOCK), O_RDWR | O_NONBLOCK);
    EXPECT_EQ(model.name, "Keypanel");
    // "KeyboardDelay" 2 and "KeyboardSpeed" 31 (30 a second), once it exists.
    EXPECT_EQ(model.calls, (std::vector<Call>{{UI_SET_EVBIT, EV_KEY}, {UI_SET_EVBIT, EV_LED}, {UI_SET_EVBIT, EV_REP},
                                              {UI_SET_LEDBIT, LED_NUML}, {UI_SET_LEDBIT, LED_CAPSL},
                                              {UI_SET_LEDBIT, LED_SCROLLL}, {UI_DEV_SETUP, BUS_VIRTUAL}, {UI_DEV_CREATE},
                                              {EV_REP, REP_DELAY, 750}, {EV_REP, REP_PERIOD, 33}, Syn}));
    for (unsigned long key : {KEY_ESC, KEY_Z, KEY_102ND, KEY_F13, KEY_F24, KEY_LEFTMETA, KEY_COMPOSE, KEY_MUTE})
        EXPECT_TRUE(model.keyBits.contains(key)) << key;
}

// By position: the desktop's layout makes the character, so a German Z (on
// the US Y key) is KEY_Y. Repeats of a key already down are the machine's.
// Delete (or the keypad's) never goes down while a Ctrl and an Alt are: the
// kernel would reboot the machine.
TEST_F(UinputOutput, TypesEachKeyAtItsPositionOnceAndNeverCtrlAltDel)
{
    const Typed lctrl{VK_LCONTROL, 0x1D}, lalt{VK_LMENU, 0x38}, ralt{VK_RMENU, 0x38, Ext},
        rctrl{VK_RCONTROL, 0x1D, Ext}, del{VK_DELETE, 0x53, Ext}, kpdot{VK_DECIMAL, 0x53};
    auto up = [](Typed key) { return Typed{key.vk, key.scan, key.flags | Up}; };
    const struct { std::vector<Typed> typed; Keys written; } cases[] = {
        {{{'A', 0x1E}, {'A', 0x1E}, {'A', 0x1E, Up}, {'Z', 0x15}, {'Z', 0x15, Up}},
         {{KEY_A, 1}, {KEY_A, 0}, {KEY_Y, 1}, {KEY_Y, 0}}},
        {{del, kpdot, {VK_PAUSE, 0x45}, {VK_NUMLOCK, 0x45}, rctrl, {VK_RETURN, 0x1C, Ext}, {VK_SNAPSHOT, 0x37, Ext},
          {VK_OEM_102, 0x56}, {VK_F24, 0x76}, {0xFF, 0x7F}},
         {{KEY_DELETE, 1}, {KEY_KPDOT, 1}, {KEY_PAUSE, 1}, {KEY_NUMLOCK, 1}, {KEY_RIGHTCTRL, 1}, {KEY_KPENTER, 1},
          {KEY_SYSRQ, 1}, {KEY_102ND, 1}, {KEY_F24, 1}}},
        {{lctrl, ralt, del, del, up(del)}, {{KEY_LEFTCTRL, 1}, {KEY_RIGHTALT, 1}}},
        {{rctrl, lalt, kpdot, up(kpdot)}, {{KEY_RIGHTCTRL, 1}, {KEY_LEFTALT, 1}}},
        // Ctrl-Delete and Alt-Delete are ordinary keys; Ctrl joining Alt and a
        // held Delete lets it go, and it stays up until it is released.
        {{lctrl, del, up(del), up(lctrl), lalt, del, lctrl, up(lctrl), del},
         {{KEY_LEFTCTRL, 1}, {KEY_DELETE, 1}, {KEY_DELETE, 0}, {KEY_LEFTCTRL, 0}, {KEY_LEFTALT, 1}, {KEY_DELETE, 1},
          {KEY_LEFTCTRL, 1}, {KEY_DELETE, 0}, {KEY_LEFTCTRL, 0}}},
    };
    for (const auto& c : cases) {
        Open();
        testing::internal::CaptureStderr();
        for (const Typed& key : c.typed)
            keybd_event(key.vk, key.scan, key.flags, 0);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(KeysWritten(), c.written);
        CloseKeyOutput();
    }
}

// The machine's lock states arrive as LED events; GetKeyState answers from
// them, not from the registry's start state or the keys typed.
TEST_F(UinputOutput, LockStatesAreTheLedsTheMachineSets)
{
    auto locks = [] {
        return (GetKeyState(VK_CAPITAL) & 1) | (GetKeyState(VK_NUMLOCK) & 1) << 1 | (GetKeyState(VK_SCROLL) & 1) << 2;
    };
    EXPECT_EQ(locks(), 2);  // "InitialKeyboardIndicators" without a keyboard
    Open();
    EXPECT_EQ(locks(), 0);
    Feed({{LED_CAPSL, 1}, {LED_SCROLLL, 1}});
    EXPECT_EQ(locks(), 5);
    keybd_event(VK_NUMLOCK, 0x45, 0, 0);
    keybd_event(VK_NUMLOCK, 0x45, KEYEVENTF_KEYUP, 0);
    EXPECT_EQ(locks(), 5);
    Feed({{LED_NUML, 1}, {LED_CAPSL, 0}});
    EXPECT_EQ(locks(), 6);
}

// The panel driver's open and close are the output's.
TEST_F(UinputOutput, StopLetsGoOfHeldKeysThenDestroysTheDevice)
{
    HANDLE driver = CreateFileA("\\\\.\\PGW", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(driver, INVALID_HANDLE_VALUE);
    model.calls.clear();
    keybd_event(VK_LSHIFT, 0x2A, 0, 0);
    keybd_event('Q', 0x10, 0, 0);
    CloseHandle(driver);
    EXPECT_EQ(model.calls, (std::vector<Call>{Key(KEY_LEFTSHIFT, 1), Syn, Key(KEY_Q, 1), Syn, Key(KEY_Q, 0), Syn,
                                              Key(KEY_LEFTSHIFT, 0), Syn, Destroy, Closed}));
    keybd_event('Q', 0x10, 0, 0);
    EXPECT_EQ(model.calls.size(), 10u);
}

// A device that cannot be set up fails the open, says why, and is closed.
TEST_F(UinputOutput, ADeviceThatCannotBeSetUpFailsTheOpen)
{
    const struct { int openErrno; unsigned long failRequest; DWORD error; const char* told; } cases[] = {
        {ENOENT, 0, ERROR_FILE_NOT_FOUND, "/dev/uinput: open failed: No such file or directory\n"},
        {EACCES, 0, ERROR_ACCESS_DENIED, "/dev/uinput: open failed: Permission denied\n"},
        {0, UI_DEV_SETUP, ERROR_INVALID_PARAMETER, "/dev/uinput: UI_DEV_SETUP failed: Invalid argument\n"},
        {0, UI_DEV_CREATE, ERROR_INVALID_PARAMETER, "/dev/uinput: UI_DEV_CREATE failed: Invalid argument\n"},
    };
    for (const auto& c : cases) {
        model.openErrno = c.openErrno;
        model.failRequest = c.failRequest;
        model.calls.clear();
        testing::internal::CaptureStderr();
        DWORD error = 0;
        EXPECT_FALSE(OpenKeyOutput(&error));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.told);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(!model.calls.empty() && model.calls.back() == Closed, c.openErrno == 0) << c.told;
    }
}

}  // namespace
