// The uinput key output against a model of /dev/uinput: the set-up requests,
// the events written for keybd_event, the LED events the machine sends back,
// and the device gone at the stop. The model stands in the layer's one table
// of uinput calls; everything above it is the product's code.
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
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int ModelFd = 77;

struct UinputModel {
    std::mutex lock;
    std::string path;
    int flags = 0;
    int openErrno = 0;                  // open fails with it
    unsigned long failRequest = 0;      // this ioctl fails with EINVAL
    std::vector<std::pair<unsigned long, unsigned long>> requests;  // ioctl, its number (bits)
    uinput_setup setup{};
    bool created = false, destroyed = false, closed = false;
    std::vector<input_event> written;
    std::deque<input_event> toRead;
};

UinputModel* Model = nullptr;

int ModelOpen(const char* path, int flags)
{
    std::lock_guard<std::mutex> guard(Model->lock);
    Model->path = path;
    Model->flags = flags;
    if (Model->openErrno != 0) {
        errno = Model->openErrno;
        return -1;
    }
    return ModelFd;
}

int ModelIoctl(int fd, unsigned long request, unsigned long argument)
{
    std::lock_guard<std::mutex> guard(Model->lock);
    EXPECT_EQ(fd, ModelFd);
    if (request == Model->failRequest) {
        errno = EINVAL;
        return -1;
    }
    if (request == UI_DEV_SETUP)
        std::memcpy(&Model->setup, reinterpret_cast<const void*>(argument), sizeof Model->setup);
    Model->created |= request == UI_DEV_CREATE;
    Model->destroyed |= request == UI_DEV_DESTROY;
    Model->requests.emplace_back(request, request == UI_DEV_SETUP ? 0 : argument);
    return 0;
}

ssize_t ModelWrite(int fd, const void* data, size_t size)
{
    std::lock_guard<std::mutex> guard(Model->lock);
    EXPECT_EQ(fd, ModelFd);
    EXPECT_TRUE(Model->created && !Model->destroyed);
    EXPECT_EQ(size % sizeof(input_event), 0u);
    const auto* events = static_cast<const input_event*>(data);
    Model->written.insert(Model->written.end(), events, events + size / sizeof(input_event));
    return static_cast<ssize_t>(size);
}

// Non-blocking, as the output opens it.
ssize_t ModelRead(int, void* data, size_t size)
{
    std::lock_guard<std::mutex> guard(Model->lock);
    size_t count = std::min(Model->toRead.size(), size / sizeof(input_event));
    if (count == 0) {
        errno = EAGAIN;
        return -1;
    }
    std::copy_n(Model->toRead.begin(), count, static_cast<input_event*>(data));
    Model->toRead.erase(Model->toRead.begin(), Model->toRead.begin() + static_cast<long>(count));
    return static_cast<ssize_t>(count * sizeof(input_event));
}

int ModelClose(int fd)
{
    std::lock_guard<std::mutex> guard(Model->lock);
    EXPECT_EQ(fd, ModelFd);
    Model->closed = true;
    return 0;
}

const UinputCalls ModelCalls = {ModelOpen, ModelIoctl, ModelWrite, ModelRead, ModelClose};

// (code, value) of the key events written, each followed by its sync.
using Keys = std::vector<std::pair<int, int>>;

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
    }

    // The key events written since the set-up, checking that each is synced.
    Keys KeysWritten()
    {
        Keys keys;
        const auto& events = model.written;
        for (std::size_t i = 0; i < events.size(); ++i) {
            if (events[i].type != EV_KEY)
                continue;
            keys.emplace_back(events[i].code, events[i].value);
            EXPECT_TRUE(i + 1 < events.size() && events[i + 1].type == EV_SYN && events[i + 1].code == SYN_REPORT);
        }
        return keys;
    }

    void FeedLed(int led, int on)
    {
        std::lock_guard<std::mutex> guard(model.lock);
        model.toRead.push_back(input_event{{}, EV_LED, static_cast<unsigned short>(led), on});
        model.toRead.push_back(input_event{{}, EV_SYN, SYN_REPORT, 0});
    }
};

std::vector<unsigned long> Bits(const UinputModel& model, unsigned long request)
{
    std::vector<unsigned long> bits;
    for (const auto& [made, bit] : model.requests)
        if (made == request)
            bits.push_back(bit);
    return bits;
}

TEST_F(UinputOutput, DeclaresOneKeyboardWithItsKeysLedsAndTheKernelsRepeat)
{
    Open();
    EXPECT_EQ(model.path, "/dev/uinput");
    EXPECT_EQ(model.flags & O_ACCMODE, O_RDWR);
    EXPECT_TRUE(model.flags & O_NONBLOCK);
    EXPECT_EQ(Bits(model, UI_SET_EVBIT), (std::vector<unsigned long>{EV_KEY, EV_LED, EV_REP}));
    EXPECT_EQ(Bits(model, UI_SET_LEDBIT), (std::vector<unsigned long>{LED_NUML, LED_CAPSL, LED_SCROLLL}));
    const auto keys = Bits(model, UI_SET_KEYBIT);
    for (unsigned long key : {KEY_ESC, KEY_A, KEY_Z, KEY_102ND, KEY_F12, KEY_F13, KEY_F24, KEY_KPENTER, KEY_RIGHTCTRL,
                              KEY_RIGHTALT, KEY_DELETE, KEY_SYSRQ, KEY_PAUSE, KEY_LEFTMETA, KEY_COMPOSE, KEY_MUTE})
        EXPECT_NE(std::find(keys.begin(), keys.end(), key), keys.end()) << key;
    EXPECT_EQ(std::string(model.setup.name), "Keypanel");
    EXPECT_EQ(model.setup.id.bustype, BUS_VIRTUAL);
    // Set up before it is created, the repeat after.
    EXPECT_EQ(model.requests.back().first, static_cast<unsigned long>(UI_DEV_CREATE));
    ASSERT_GE(model.written.size(), 3u);
    EXPECT_EQ(model.written[0].type, EV_REP);
    EXPECT_EQ(model.written[0].code, REP_DELAY);
    EXPECT_EQ(model.written[0].value, 750);  // "KeyboardDelay" 2
    EXPECT_EQ(model.written[1].code, REP_PERIOD);
    EXPECT_EQ(model.written[1].value, 33);  // "KeyboardSpeed" 31: 30 a second
}

// By position: the desktop's layout makes the character, so a German Z (on
// the US Y key) is KEY_Y. Repeats of a key already down are the machine's.
TEST_F(UinputOutput, TypesEachKeyAtItsPositionOnce)
{
    Open();
    constexpr DWORD Up = KEYEVENTF_KEYUP, Ext = KEYEVENTF_EXTENDEDKEY;
    const struct { BYTE vk; BYTE scan; DWORD flags; } typed[] = {
        {'A', 0x1E, 0},         {'A', 0x1E, 0},       {'A', 0x1E, 0},           {'A', 0x1E, Up},
        {'Z', 0x15, 0},         {'Z', 0x15, Up},      {VK_DELETE, 0x53, Ext},   {VK_DELETE, 0x53, Ext | Up},
        {VK_DECIMAL, 0x53, 0},  {VK_PAUSE, 0x45, 0},  {VK_NUMLOCK, 0x45, 0},    {VK_SNAPSHOT, 0x37, Ext},
        {VK_RCONTROL, 0x1D, Ext}, {VK_RETURN, 0x1C, Ext}, {VK_OEM_102, 0x56, 0}, {VK_F24, 0x76, 0},
        {0xFF, 0x7F, 0},  // no key at that position: nothing
    };
    for (const auto& key : typed)
        keybd_event(key.vk, key.scan, key.flags, 0);
    EXPECT_EQ(KeysWritten(), (Keys{{KEY_A, 1}, {KEY_A, 0}, {KEY_Y, 1}, {KEY_Y, 0}, {KEY_DELETE, 1}, {KEY_DELETE, 0},
                                   {KEY_KPDOT, 1}, {KEY_PAUSE, 1}, {KEY_NUMLOCK, 1}, {KEY_SYSRQ, 1}, {KEY_RIGHTCTRL, 1},
                                   {KEY_KPENTER, 1}, {KEY_102ND, 1}, {KEY_F24, 1}}));
}

// Delete (or the keypad's) never goes down on the machine while a Ctrl and an
// Alt are down: the kernel would reboot it.
TEST_F(UinputOutput, NeverTypesCtrlAltDel)
{
    constexpr DWORD Up = KEYEVENTF_KEYUP, Ext = KEYEVENTF_EXTENDEDKEY;
    struct Key { BYTE vk; BYTE scan; DWORD flags; };
    const Key lctrl{VK_LCONTROL, 0x1D, 0}, lalt{VK_LMENU, 0x38, 0}, ralt{VK_RMENU, 0x38, Ext},
        rctrl{VK_RCONTROL, 0x1D, Ext}, del{VK_DELETE, 0x53, Ext}, kpdot{VK_DECIMAL, 0x53, 0};
    auto up = [](Key key) { return Key{key.vk, key.scan, key.flags | Up}; };
    const struct { std::vector<Key> typed; Keys written; } cases[] = {
        {{lctrl, lalt, del, del, up(del), up(lalt), up(lctrl)},
         {{KEY_LEFTCTRL, 1}, {KEY_LEFTALT, 1}, {KEY_LEFTALT, 0}, {KEY_LEFTCTRL, 0}}},
        {{rctrl, ralt, kpdot, up(kpdot), up(ralt), up(rctrl)},
         {{KEY_RIGHTCTRL, 1}, {KEY_RIGHTALT, 1}, {KEY_RIGHTALT, 0}, {KEY_RIGHTCTRL, 0}}},
        // Ctrl and Alt joining a held Delete: it goes up, and stays up.
        {{del, lctrl, lalt, del, up(del), up(lalt), up(lctrl)},
         {{KEY_DELETE, 1}, {KEY_LEFTCTRL, 1}, {KEY_LEFTALT, 1}, {KEY_DELETE, 0}, {KEY_LEFTALT, 0}, {KEY_LEFTCTRL, 0}}},
        // Ctrl-Delete and Alt-Delete are ordinary keys.
        {{lctrl, del, up(del), up(lctrl), lalt, del, up(del), up(lalt)},
         {{KEY_LEFTCTRL, 1}, {KEY_DELETE, 1}, {KEY_DELETE, 0}, {KEY_LEFTCTRL, 0}, {KEY_LEFTALT, 1}, {KEY_DELETE, 1},
          {KEY_DELETE, 0}, {KEY_LEFTALT, 0}}},
    };
    for (const auto& c : cases) {
        model.created = model.destroyed = false;
        Open();
        model.written.clear();
        testing::internal::CaptureStderr();
        for (const Key& key : c.typed)
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
    EXPECT_EQ(GetKeyState(VK_NUMLOCK) & 1, 1);  // "InitialKeyboardIndicators" without a keyboard
    Open();
    EXPECT_EQ(GetKeyState(VK_NUMLOCK) & 1, 0);
    FeedLed(LED_CAPSL, 1);
    FeedLed(LED_SCROLLL, 1);
    EXPECT_EQ(GetKeyState(VK_CAPITAL) & 1, 1);
    EXPECT_EQ(GetKeyState(VK_SCROLL) & 1, 1);
    EXPECT_EQ(GetKeyState(VK_NUMLOCK) & 1, 0);
    // NumLock typed: toggled only once the machine says so.
    keybd_event(VK_NUMLOCK, 0x45, 0, 0);
    keybd_event(VK_NUMLOCK, 0x45, KEYEVENTF_KEYUP, 0);
    EXPECT_EQ(GetKeyState(VK_NUMLOCK) & 1, 0);
    FeedLed(LED_NUML, 1);
    FeedLed(LED_CAPSL, 0);
    EXPECT_EQ(GetKeyState(VK_NUMLOCK) & 1, 1);
    EXPECT_EQ(GetKeyState(VK_CAPITAL) & 1, 0);
}

TEST_F(UinputOutput, StopLetsGoOfHeldKeysAndDestroysTheDevice)
{
    Open();
    keybd_event(VK_LSHIFT, 0x2A, 0, 0);
    keybd_event('Q', 0x10, 0, 0);
    CloseKeyOutput();
    EXPECT_EQ(KeysWritten(), (Keys{{KEY_LEFTSHIFT, 1}, {KEY_Q, 1}, {KEY_Q, 0}, {KEY_LEFTSHIFT, 0}}));
    EXPECT_TRUE(model.destroyed);
    EXPECT_TRUE(model.closed);
    // Nothing typed once it is closed; a new run makes a new device.
    model.written.clear();
    keybd_event('Q', 0x10, 0, 0);
    EXPECT_TRUE(model.written.empty());
}

// A device that cannot be set up fails the panel driver's open, with the
// reason on standard error, and is closed again.
TEST_F(UinputOutput, ADeviceThatCannotBeSetUpFailsTheDriversOpen)
{
    const struct { int openErrno; unsigned long failRequest; DWORD error; const char* told; } cases[] = {
        {ENOENT, 0, ERROR_FILE_NOT_FOUND, "/dev/uinput: open failed: No such file or directory"},
        {EACCES, 0, ERROR_ACCESS_DENIED, "/dev/uinput: open failed: Permission denied"},
        {0, UI_DEV_SETUP, ERROR_INVALID_PARAMETER, "/dev/uinput: UI_DEV_SETUP failed: Invalid argument"},
        {0, UI_DEV_CREATE, ERROR_INVALID_PARAMETER, "/dev/uinput: UI_DEV_CREATE failed: Invalid argument"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.told);
        model.openErrno = c.openErrno;
        model.failRequest = c.failRequest;
        model.closed = false;
        testing::internal::CaptureStderr();
        HANDLE driver = CreateFileA("\\\\.\\PGW", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        const DWORD error = GetLastError();
        const std::string told = testing::internal::GetCapturedStderr();
        EXPECT_EQ(driver, INVALID_HANDLE_VALUE);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(told, std::string(c.told) + "\n");
        EXPECT_EQ(model.closed, c.openErrno == 0);
    }
    // And once it can, the driver opens with it.
    model.openErrno = 0;
    model.failRequest = 0;
    HANDLE driver = CreateFileA("\\\\.\\PGW", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(driver, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(model.created);
    CloseHandle(driver);
    EXPECT_TRUE(model.destroyed);
}

}  // namespace
