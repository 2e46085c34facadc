// Key output through /dev/uinput: one virtual keyboard "Keypanel" with the
// keys the panel can type and the three lock LEDs, which the machine sets.
#include "platform/linux/key_output.h"
#include "platform/linux/kernel_object.h"
#include "platform/linux/uinput_device.h"

#include <fcntl.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

int SystemOpen(const char* path, int flags)
{
    return open(path, flags);
}

int SystemIoctl(int fd, unsigned long request, unsigned long argument)
{
    return ioctl(fd, request, argument);
}

struct Device {
    int fd = -1;
    DWORD locks = 0;
};

Device Keyboard;

const UinputCalls& Calls()
{
    return *UinputDevice.load();
}

bool Request(unsigned long request, unsigned long argument)
{
    return Calls().Ioctl(Keyboard.fd, request, argument) == 0;
}

bool Send(const input_event* events, size_t count)
{
    const size_t size = count * sizeof *events;
    return Calls().Write(Keyboard.fd, events, size) == static_cast<ssize_t>(size);
}

input_event Event(unsigned short type, unsigned short code, int value)
{
    input_event event{};
    event.type = type;
    event.code = code;
    event.value = value;
    return event;
}

DWORD Fail(const char* step, char* fault, size_t faultSize)
{
    const int error = errno;
    std::snprintf(fault, faultSize, "%s: %s failed: %s", UinputPath, step, std::strerror(error));
    if (Keyboard.fd >= 0)
        Calls().Close(Keyboard.fd);
    Keyboard.fd = -1;
    return WinErrorFromErrno(error);
}

DWORD OpenUinput(const char*, int repeatDelayMs, int repeatPeriodMs, char* fault, size_t faultSize)
{
    Keyboard = Device{};
    Keyboard.fd = Calls().Open(UinputPath, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (Keyboard.fd < 0)
        return Fail("open", fault, faultSize);
    // EV_REP: the kernel repeats held keys for the console, at the panel's
    // settings; desktops repeat with their own and ignore the kernel's.
    for (int type : {EV_KEY, EV_LED, EV_REP})
        if (!Request(UI_SET_EVBIT, static_cast<unsigned long>(type)))
            return Fail("UI_SET_EVBIT", fault, faultSize);
    size_t count = 0;
    const unsigned short* keys = TypedLinuxKeys(count);
    for (size_t i = 0; i < count; ++i)
        if (!Request(UI_SET_KEYBIT, keys[i]))
            return Fail("UI_SET_KEYBIT", fault, faultSize);
    for (int led : {LED_NUML, LED_CAPSL, LED_SCROLLL})
        if (!Request(UI_SET_LEDBIT, static_cast<unsigned long>(led)))
            return Fail("UI_SET_LEDBIT", fault, faultSize);
    uinput_setup setup{};
    setup.id.bustype = BUS_VIRTUAL;
    std::snprintf(setup.name, sizeof setup.name, "%s", VirtualKeyboardName);
    if (!Request(UI_DEV_SETUP, reinterpret_cast<unsigned long>(&setup)))
        return Fail("UI_DEV_SETUP", fault, faultSize);
    if (!Request(UI_DEV_CREATE, 0))
        return Fail("UI_DEV_CREATE", fault, faultSize);
    const input_event repeat[] = {Event(EV_REP, REP_DELAY, repeatDelayMs), Event(EV_REP, REP_PERIOD, repeatPeriodMs),
                                  Event(EV_SYN, SYN_REPORT, 0)};
    if (!Send(repeat, 3)) {
        Request(UI_DEV_DESTROY, 0);
        return Fail("setting the repeat", fault, faultSize);
    }
    return ERROR_SUCCESS;
}

void CloseUinput()
{
    if (Keyboard.fd < 0)
        return;
    Request(UI_DEV_DESTROY, 0);
    Calls().Close(Keyboard.fd);
    Keyboard.fd = -1;
}

void TypeUinput(unsigned short key, bool down)
{
    const input_event events[] = {Event(EV_KEY, key, down ? 1 : 0), Event(EV_SYN, SYN_REPORT, 0)};
    // A keystroke the kernel does not take is lost, as on Windows.
    (void)Send(events, 2);
}

// The machine tells the keyboard its lock states as LED events.
bool UinputLocks(DWORD& locks)
{
    input_event events[16];
    ssize_t got;
    while ((got = Calls().Read(Keyboard.fd, events, sizeof events)) > 0)
        for (size_t i = 0; i < static_cast<size_t>(got) / sizeof events[0]; ++i) {
            if (events[i].type != EV_LED)
                continue;
            const DWORD bit = events[i].code == LED_CAPSL ? 1 : events[i].code == LED_NUML ? 2
                              : events[i].code == LED_SCROLLL ? 4 : 0;
            Keyboard.locks = events[i].value ? (Keyboard.locks | bit) : (Keyboard.locks & ~bit);
        }
    locks = Keyboard.locks;
    return true;
}

}  // namespace

const UinputCalls SystemUinputCalls = {SystemOpen, SystemIoctl, write, read, close};
std::atomic<const UinputCalls*> UinputDevice{&SystemUinputCalls};

const KeyOutputDriver UinputKeyOutput = {OpenUinput, CloseUinput, TypeUinput, UinputLocks};
