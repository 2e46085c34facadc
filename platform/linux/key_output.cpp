// What the machine's key outputs share: which one is open, key positions,
// the keys held down, and the Ctrl-Alt-Del guard.
#include "platform/linux/key_output.h"

#include "platform/linux/host_notice.h"
#include "platform/linux/host_settings.h"
#include "platform/linux/user_internal.h"
#include "platform/linux/windows.h"

#include <linux/input-event-codes.h>

#include <array>
#include <cstdlib>
#include <mutex>

namespace {

using Positions = std::array<unsigned short, 128>;

// Set-1 scan codes without E0: the code is the Linux key up to 0x53.
constexpr Positions PlainPositions()
{
    Positions keys{};
    for (unsigned short code = 1; code <= 0x53; ++code)
        keys[code] = code;
    keys[0x54] = KEY_SYSRQ;
    keys[0x56] = KEY_102ND;
    keys[0x57] = KEY_F11;
    keys[0x58] = KEY_F12;
    keys[0x59] = KEY_KPEQUAL;
    for (unsigned short code = 0x64; code <= 0x6E; ++code)
        keys[code] = static_cast<unsigned short>(KEY_F13 + (code - 0x64));
    keys[0x70] = KEY_KATAKANAHIRAGANA;
    keys[0x73] = KEY_RO;
    keys[0x76] = KEY_F24;
    keys[0x79] = KEY_HENKAN;
    keys[0x7B] = KEY_MUHENKAN;
    keys[0x7D] = KEY_YEN;
    keys[0x7E] = KEY_KPJPCOMMA;
    return keys;
}

// Set-1 scan codes after E0.
constexpr Positions ExtendedPositions()
{
    Positions keys{};
    keys[0x10] = KEY_PREVIOUSSONG;
    keys[0x19] = KEY_NEXTSONG;
    keys[0x1C] = KEY_KPENTER;
    keys[0x1D] = KEY_RIGHTCTRL;
    keys[0x20] = KEY_MUTE;
    keys[0x21] = KEY_CALC;
    keys[0x22] = KEY_PLAYPAUSE;
    keys[0x24] = KEY_STOPCD;
    keys[0x2E] = KEY_VOLUMEDOWN;
    keys[0x30] = KEY_VOLUMEUP;
    keys[0x32] = KEY_HOMEPAGE;
    keys[0x35] = KEY_KPSLASH;
    keys[0x37] = KEY_SYSRQ;
    keys[0x38] = KEY_RIGHTALT;
    keys[0x46] = KEY_PAUSE;
    keys[0x47] = KEY_HOME;
    keys[0x48] = KEY_UP;
    keys[0x49] = KEY_PAGEUP;
    keys[0x4B] = KEY_LEFT;
    keys[0x4D] = KEY_RIGHT;
    keys[0x4F] = KEY_END;
    keys[0x50] = KEY_DOWN;
    keys[0x51] = KEY_PAGEDOWN;
    keys[0x52] = KEY_INSERT;
    keys[0x53] = KEY_DELETE;
    keys[0x5B] = KEY_LEFTMETA;
    keys[0x5C] = KEY_RIGHTMETA;
    keys[0x5D] = KEY_COMPOSE;
    keys[0x5E] = KEY_POWER;
    keys[0x5F] = KEY_SLEEP;
    keys[0x63] = KEY_WAKEUP;
    keys[0x65] = KEY_SEARCH;
    keys[0x66] = KEY_BOOKMARKS;
    keys[0x67] = KEY_REFRESH;
    keys[0x68] = KEY_STOP;
    keys[0x69] = KEY_FORWARD;
    keys[0x6A] = KEY_BACK;
    keys[0x6B] = KEY_COMPUTER;
    keys[0x6C] = KEY_MAIL;
    keys[0x6D] = KEY_MEDIA;
    return keys;
}

constexpr Positions Plain = PlainPositions();
constexpr Positions Extended = ExtendedPositions();

constexpr std::size_t KeyLimit = 256;
static_assert(KEY_MEDIA < KeyLimit && KEY_F24 < KeyLimit);

constexpr auto TypedKeys = [] {
    std::array<bool, KeyLimit> typed{};
    for (unsigned short key : Plain)
        typed[key] = true;
    for (unsigned short key : Extended)
        typed[key] = true;
    typed[KEY_PAUSE] = true;
    typed[0] = false;
    std::array<unsigned short, KeyLimit> keys{};
    std::size_t count = 0;
    for (std::size_t key = 0; key < KeyLimit; ++key)
        if (typed[key])
            keys[count++] = static_cast<unsigned short>(key);
    return std::pair{keys, count};
}();

struct Output {
    std::mutex lock;
    const KeyOutputDriver* driver = nullptr;  // null: the journal only
    bool down[KeyLimit] = {};
    bool heldBack[KeyLimit] = {};
};

Output& State()
{
    // Never destroyed: the key output thread may still type while the process exits.
    static auto* output = new Output();
    return *output;
}

bool RebootKey(unsigned short key)
{
    return key == KEY_DELETE || key == KEY_KPDOT;
}

bool CtrlAltDown(const Output& output)
{
    return (output.down[KEY_LEFTCTRL] || output.down[KEY_RIGHTCTRL]) &&
           (output.down[KEY_LEFTALT] || output.down[KEY_RIGHTALT]);
}

// Windows' keyboard speed, 0 to 31 (about 2.5 to 30 repeats a second), as
// milliseconds between repeats.
int RepeatPeriodMs(UINT speed)
{
    return static_cast<int>(1000.0 / (2.5 + speed * 27.5 / 31.0));
}

}  // namespace

unsigned short LinuxKeyOf(BYTE virtualKey, BYTE scanCode, bool extended)
{
    // Pause shares its set-1 code with NumLock and carries no E0.
    if (virtualKey == VK_PAUSE)
        return KEY_PAUSE;
    if (scanCode >= Plain.size())
        return 0;
    return extended ? Extended[scanCode] : Plain[scanCode];
}

const unsigned short* TypedLinuxKeys(std::size_t& count)
{
    count = TypedKeys.second;
    return TypedKeys.first.data();
}

bool OpenKeyOutput(DWORD* error)
{
    HostSettings host;
    CurrentHostSettings(host);
    const KeyOutputDriver* driver = nullptr;
    std::string target;
    if (host.KeyOutput == "journal")
        return true;
    if (host.KeyOutput == "uinput") {
        driver = &UinputKeyOutput;
        target = "/dev/uinput";
    } else if (host.KeyOutput == "x11") {
        driver = &X11KeyOutput;
        const char* display = std::getenv("DISPLAY");
        target = !host.Display.empty() ? host.Display : display ? display : "";
    } else {
        HostNotice("KeyOutput \"%s\" is none of \"uinput\", \"x11\", \"journal\": no key output", host.KeyOutput.c_str());
        *error = ERROR_INVALID_PARAMETER;
        return false;
    }
    UserSettings user;
    ReadUserSettings(user);

    Output& output = State();
    std::lock_guard<std::mutex> guard(output.lock);
    if (output.driver != nullptr) {
        *error = ERROR_ACCESS_DENIED;
        return false;
    }
    char fault[256] = "";
    DWORD status = driver->Open(target.c_str(), static_cast<int>(user.KeyboardDelay + 1) * 250,
                                RepeatPeriodMs(user.KeyboardSpeed), fault, sizeof fault);
    if (status != ERROR_SUCCESS) {
        HostNotice("%s", fault);
        *error = status;
        return false;
    }
    output.driver = driver;
    for (std::size_t key = 0; key < KeyLimit; ++key)
        output.down[key] = output.heldBack[key] = false;
    return true;
}

void CloseKeyOutput()
{
    Output& output = State();
    std::lock_guard<std::mutex> guard(output.lock);
    if (output.driver == nullptr)
        return;
    for (std::size_t key = 0; key < KeyLimit; ++key)
        if (output.down[key])
            output.driver->Key(static_cast<unsigned short>(key), false);
    output.driver->Close();
    output.driver = nullptr;
}

void TypeKeyEvent(BYTE virtualKey, BYTE scanCode, DWORD flags)
{
    const unsigned short key = LinuxKeyOf(virtualKey, scanCode, (flags & KEYEVENTF_EXTENDEDKEY) != 0);
    const bool down = (flags & KEYEVENTF_KEYUP) == 0;
    Output& output = State();
    std::lock_guard<std::mutex> guard(output.lock);
    if (output.driver == nullptr || key == 0)
        return;
    if (!down) {
        if (output.down[key])
            output.driver->Key(key, false);
        output.down[key] = output.heldBack[key] = false;
        return;
    }
    // The service's repeats: the machine repeats a held key itself.
    if (output.down[key] || output.heldBack[key])
        return;
    if (RebootKey(key) && CtrlAltDown(output)) {
        output.heldBack[key] = true;
        HostNotice("Ctrl-Alt-Del from the panel: the Delete key is not typed on Linux");
        return;
    }
    output.driver->Key(key, true);
    output.down[key] = true;
    // Ctrl and Alt joining a held Delete: the machine's repeat of Delete would be the combination.
    if (CtrlAltDown(output))
        for (unsigned short reboot : {static_cast<unsigned short>(KEY_DELETE), static_cast<unsigned short>(KEY_KPDOT)})
            if (output.down[reboot]) {
                output.driver->Key(reboot, false);
                output.down[reboot] = false;
                output.heldBack[reboot] = true;
            }
}

bool ReadMachineLocks(DWORD& locks)
{
    Output& output = State();
    std::lock_guard<std::mutex> guard(output.lock);
    return output.driver != nullptr && output.driver->Locks(locks);
}
