// Key output on an X display through the XTest extension, for a kiosk session
// without /dev/uinput. The X libraries are loaded only when this output is
// chosen, so a console-only machine needs none of them.
#include "platform/linux/host_notice.h"
#include "platform/linux/key_output.h"
#include "platform/linux/winerror.h"

#include <dlfcn.h>

#include <cstdio>

namespace {

// The few X types and calls used, as Xlib, XKBlib and XTest declare them:
// building needs none of the X headers either.
struct Display;
using Atom = unsigned long;
using Bool = int;
constexpr Bool True = 1, False = 0;
constexpr Atom None = 0;
constexpr unsigned long CurrentTime = 0;
constexpr int XkbMajorVersion = 1, XkbMinorVersion = 0;
using ErrorHandler = int (*)(Display*, void* event);
using IOErrorHandler = int (*)(Display*);
using IOErrorExitHandler = void (*)(Display*, void* data);

struct Library {
    void* x11 = nullptr;
    void* xtst = nullptr;
    Display* (*OpenDisplay)(const char* name) = nullptr;
    int (*CloseDisplay)(Display*) = nullptr;
    int (*Flush)(Display*) = nullptr;
    Atom (*InternAtom)(Display*, const char* name, Bool onlyIfExists) = nullptr;
    Bool (*GetNamedIndicator)(Display*, Atom name, int* index, Bool* state, void* map, Bool* real) = nullptr;
    Bool (*QueryXkb)(Display*, int* opcode, int* event, int* error, int* major, int* minor) = nullptr;
    ErrorHandler (*SetErrorHandler)(ErrorHandler) = nullptr;
    IOErrorHandler (*SetIOErrorHandler)(IOErrorHandler) = nullptr;
    void (*SetIOErrorExitHandler)(Display*, IOErrorExitHandler, void* data) = nullptr;
    Bool (*QueryXTest)(Display*, int* event, int* error, int* major, int* minor) = nullptr;
    int (*FakeKeyEvent)(Display*, unsigned int keycode, Bool press, unsigned long delay) = nullptr;
};

struct Session {
    Library x;
    Display* display = nullptr;
    bool lost = false;
    char name[64] = "";
    Atom indicators[3] = {};  // Caps Lock, Num Lock, Scroll Lock
};

Session X;

// Xlib's default handlers end the process; a lost display only stops the
// typing (with libX11 1.7 or later, which lets the exit be replaced).
int IgnoreError(Display*, void*)
{
    return 0;
}

int DisplayLost(Display*)
{
    if (!X.lost)
        HostNotice("X display %s: the connection is lost: keys are no longer typed", X.name);
    X.lost = true;
    return 0;
}

void KeepRunning(Display*, void*) {}

template <typename Call>
bool Find(void* library, const char* name, Call& call)
{
    call = reinterpret_cast<Call>(dlsym(library, name));
    return call != nullptr;
}

bool Load(Library& x, char* fault, size_t faultSize, const char* target)
{
    if (x.x11 == nullptr)
        x.x11 = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    if (x.xtst == nullptr)
        x.xtst = dlopen("libXtst.so.6", RTLD_NOW | RTLD_LOCAL);
    if (x.x11 == nullptr || x.xtst == nullptr) {
        std::snprintf(fault, faultSize, "X display %s: cannot load the X libraries: %s", target, dlerror());
        return false;
    }
    if (Find(x.x11, "XOpenDisplay", x.OpenDisplay) && Find(x.x11, "XCloseDisplay", x.CloseDisplay) &&
        Find(x.x11, "XFlush", x.Flush) && Find(x.x11, "XInternAtom", x.InternAtom) &&
        Find(x.x11, "XkbGetNamedIndicator", x.GetNamedIndicator) && Find(x.x11, "XkbQueryExtension", x.QueryXkb) &&
        Find(x.x11, "XSetErrorHandler", x.SetErrorHandler) && Find(x.x11, "XSetIOErrorHandler", x.SetIOErrorHandler) &&
        Find(x.xtst, "XTestQueryExtension", x.QueryXTest) &&
        Find(x.xtst, "XTestFakeKeyEvent", x.FakeKeyEvent)) {
        // Older libX11 lacks it: there a lost display still ends the process.
        Find(x.x11, "XSetIOErrorExitHandler", x.SetIOErrorExitHandler);
        return true;
    }
    std::snprintf(fault, faultSize, "X display %s: the X libraries lack a call: %s", target, dlerror());
    return false;
}

DWORD OpenX11(const char* target, int, int, char* fault, size_t faultSize)
{
    if (target[0] == '\0') {
        std::snprintf(fault, faultSize, "X display: none named (neither \"Display\" nor DISPLAY)");
        return ERROR_DEVICE_NOT_CONNECTED;
    }
    if (!Load(X.x, fault, faultSize, target))
        return ERROR_NOT_SUPPORTED;
    X.lost = false;
    X.display = X.x.OpenDisplay(target);
    if (X.display == nullptr) {
        std::snprintf(fault, faultSize, "X display %s: cannot open it", target);
        return ERROR_DEVICE_NOT_CONNECTED;
    }
    std::snprintf(X.name, sizeof X.name, "%s", target);
    X.x.SetErrorHandler(IgnoreError);
    X.x.SetIOErrorHandler(DisplayLost);
    if (X.x.SetIOErrorExitHandler != nullptr)
        X.x.SetIOErrorExitHandler(X.display, KeepRunning, nullptr);
    int event, error, major, minor, opcode, xkbMajor = XkbMajorVersion, xkbMinor = XkbMinorVersion;
    if (!X.x.QueryXTest(X.display, &event, &error, &major, &minor) ||
        !X.x.QueryXkb(X.display, &opcode, &event, &error, &xkbMajor, &xkbMinor)) {
        std::snprintf(fault, faultSize, "X display %s: the server lacks the XTEST or XKEYBOARD extension", target);
        X.x.CloseDisplay(X.display);
        X.display = nullptr;
        return ERROR_NOT_SUPPORTED;
    }
    const char* names[] = {"Caps Lock", "Num Lock", "Scroll Lock"};
    for (int i = 0; i < 3; ++i)
        X.indicators[i] = X.x.InternAtom(X.display, names[i], False);
    return ERROR_SUCCESS;
}

void CloseX11()
{
    if (X.display == nullptr)
        return;
    if (!X.lost)
        X.x.CloseDisplay(X.display);
    X.display = nullptr;
}

void TypeX11(unsigned short key, bool down)
{
    if (X.lost)
        return;
    // The evdev key codes of X: Linux key code + 8.
    X.x.FakeKeyEvent(X.display, key + 8u, down ? True : False, CurrentTime);
    X.x.Flush(X.display);
}

bool X11Locks(DWORD& locks)
{
    if (X.lost)
        return false;
    locks = 0;
    for (int i = 0; i < 3; ++i) {
        Bool on = False;
        if (X.indicators[i] != None &&
            X.x.GetNamedIndicator(X.display, X.indicators[i], nullptr, &on, nullptr, nullptr) && on)
            locks |= 1u << i;
    }
    return true;
}

}  // namespace

const KeyOutputDriver X11KeyOutput = {OpenX11, CloseX11, TypeX11, X11Locks};
