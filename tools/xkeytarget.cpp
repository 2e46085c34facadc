// xkeytarget: an X window that takes the keyboard focus and logs every key
// event it gets and every change of the lock indicators, the X counterpart of
// keytarget.exe under wine.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <poll.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char Usage[] =
    "usage: xkeytarget LOGFILE SECONDS [REPEAT_DELAY_MS REPEAT_INTERVAL_MS]\n"
    "Opens a window on $DISPLAY, takes the keyboard focus and writes one line per\n"
    "event to LOGFILE, flushed at once:\n"
    "  <ms since start> <KeyPress|KeyRelease> keycode=<n> keysym=<name> text=<text>\n"
    "  <ms since start> Indicators state=<hex> (bit 0 Caps Lock, 1 Num Lock, 2 Scroll Lock)\n"
    "  0 Started realtime=<seconds since 1970 at the start, with microseconds>\n"
    "The first lines are the start and the indicators at start. LOGFILE is created only once the\n"
    "window has the focus: a caller waits for it before it types. With the repeat\n"
    "arguments, the server's autorepeat is set to them first.\n"
    "Ends after SECONDS. Exit status 0; 1 for a wrong command line; 2 when the\n"
    "display cannot be opened, the window got no focus or LOGFILE no file.\n";

timespec Start;
timespec StartRealtime;

long Elapsed()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - Start.tv_sec) * 1000 + (now.tv_nsec - Start.tv_nsec) / 1000000;
}

// The lock indicators in the bits of the service's lock states.
unsigned Indicators(Display* display)
{
    unsigned state = 0;
    const char* names[] = {"Caps Lock", "Num Lock", "Scroll Lock"};
    for (int i = 0; i < 3; ++i) {
        Bool on = False;
        Atom name = XInternAtom(display, names[i], False);
        if (XkbGetNamedIndicator(display, name, nullptr, &on, nullptr, nullptr) && on)
            state |= 1u << i;
    }
    return state;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3 && argc != 5) {
        std::fputs(Usage, stderr);
        return 1;
    }
    clock_gettime(CLOCK_MONOTONIC, &Start);
    clock_gettime(CLOCK_REALTIME, &StartRealtime);
    const long seconds = std::atol(argv[2]);
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "xkeytarget: cannot open the display\n");
        return 2;
    }
    int opcode, event, error, major = XkbMajorVersion, minor = XkbMinorVersion;
    if (!XkbQueryExtension(display, &opcode, &event, &error, &major, &minor)) {
        std::fprintf(stderr, "xkeytarget: no XKEYBOARD extension\n");
        return 2;
    }
    if (argc == 5)
        XkbSetAutoRepeatRate(display, XkbUseCoreKbd, static_cast<unsigned>(std::atoi(argv[3])),
                             static_cast<unsigned>(std::atoi(argv[4])));
    XkbSelectEvents(display, XkbUseCoreKbd, XkbIndicatorStateNotifyMask, XkbIndicatorStateNotifyMask);
    Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 200, 100, 0, 0, 0);
    XSelectInput(display, window, KeyPressMask | KeyReleaseMask | StructureNotifyMask | FocusChangeMask);
    XMapWindow(display, window);

    FILE* log = nullptr;
    const int fd = ConnectionNumber(display);
    while (Elapsed() < seconds * 1000) {
        if (XPending(display) == 0) {
            pollfd ready{fd, POLLIN, 0};
            poll(&ready, 1, 100);
            continue;
        }
        XEvent e;
        XNextEvent(display, &e);
        if (e.type == MapNotify) {
            XSetInputFocus(display, window, RevertToParent, CurrentTime);
        } else if (e.type == FocusIn && log == nullptr) {
            log = std::fopen(argv[1], "w");
            if (log == nullptr)
                return 2;
            std::setvbuf(log, nullptr, _IOLBF, 0);
            std::fprintf(log, "0 Started realtime=%lld.%06ld\n", static_cast<long long>(StartRealtime.tv_sec),
                         StartRealtime.tv_nsec / 1000);
            std::fprintf(log, "%ld Indicators state=%x\n", Elapsed(), Indicators(display));
        } else if ((e.type == KeyPress || e.type == KeyRelease) && log != nullptr) {
            char text[16] = "";
            KeySym keysym = NoSymbol;
            int length = XLookupString(&e.xkey, text, sizeof text - 1, &keysym, nullptr);
            text[length > 0 ? length : 0] = '\0';
            const char* name = XKeysymToString(keysym);
            std::fprintf(log, "%ld %s keycode=%u keysym=%s text=%s\n", Elapsed(),
                         e.type == KeyPress ? "KeyPress" : "KeyRelease", e.xkey.keycode, name ? name : "none",
                         (length == 1 && text[0] > ' ' && text[0] < 127) ? text : "");
        } else if (e.type == event && log != nullptr) {
            auto* xkb = reinterpret_cast<XkbEvent*>(&e);
            if (xkb->any.xkb_type == XkbIndicatorStateNotify)
                std::fprintf(log, "%ld Indicators state=%x\n", Elapsed(), Indicators(display));
        }
    }
    XCloseDisplay(display);
    return log != nullptr ? 0 : 2;
}
