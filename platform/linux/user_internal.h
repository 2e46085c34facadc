// Shared between the files of the simulated user world and its test hooks
// (user_hooks.cpp, linked into the test suites only).
#pragma once

#include "platform/linux/call_failures.h"
#include "platform/linux/winbase.h"
#include "platform/linux/windef.h"
#include "platform/linux/winerror.h"

#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <mutex>

struct UserSettings {
    char InputDesktop[16];
    DWORD Layout;         // the user's, in the focus window's thread
    DWORD DefaultLayout;  // the default user's, in the service's own threads
    UINT KeyboardDelay;
    UINT KeyboardSpeed;
    DWORD InitialIndicators;
};

// The settings as last read from the registry, and the key journal.
struct UserWorld {
    std::mutex lock;
    bool loaded = false;  // false: read afresh, and the journal reopened, at the next use
    std::uint64_t registryVersion = 0;
    UserSettings settings{};
    char journalPath[PATH_MAX] = "";
    int journal = -1;

    void CloseJournal()
    {
        if (journal >= 0)
            close(journal);
        journal = -1;
    }
};
UserWorld& UserSettingsWorld();

// The settings as the registry holds them now. The registry is read again
// only when its file changed, so a key event allocates nothing.
void ReadUserSettings(UserSettings& settings);

// Appends "<UTC time stamp> <text>\n" to the key journal, if one is named.
void WriteJournalLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Name of the calling thread's desktop.
const char* ThreadDesktopName();

// The keyboard state that keybd_event keeps and GetKeyState reads.
struct KeyboardState {
    std::mutex lock;
    bool ready = false;  // false: start from the registry's lock states at the next use
    BYTE state[256] = {};
};
KeyboardState& Keyboard();

// Window station WinSta0 with the desktops Default and Winlogon: handles are
// slots of one table.
enum class UserObjectKind : BYTE { Free, Station, Desktop };

inline const char* const StationName = "WinSta0";
inline const char* const DesktopNames[] = {"Default", "Winlogon"};
inline constexpr int DefaultDesktop = 0;

struct UserObjectSlot {
    ULONG_PTR handle = 0;
    UserObjectKind kind = UserObjectKind::Free;
    int desktop = DefaultDesktop;
    unsigned users = 0;      // threads that have it as their desktop
    bool permanent = false;  // given to the process at start; never closed
};

struct DesktopTable {
    // Clear of the kernel's and the registry's handle numbers.
    static constexpr ULONG_PTR FirstHandle = 0x20000000;

    std::mutex lock;
    UserObjectSlot slots[64];
    ULONG_PTR nextHandle = FirstHandle;
    // Threads remember their desktop with the generation it belongs to, so
    // a restart puts every thread back on the start desktop.
    std::uint64_t generation = 1;
    ULONG_PTR processStation = 0;
    ULONG_PTR startDesktop = 0;

    DesktopTable() { Start(); }

    // Every handle closed, the process on WinSta0\Default.
    void Start()
    {
        for (UserObjectSlot& slot : slots)
            slot = UserObjectSlot{};
        ++generation;
        slots[0] = {nextHandle += 4, UserObjectKind::Station, DefaultDesktop, 0, true};
        slots[1] = {nextHandle += 4, UserObjectKind::Desktop, DefaultDesktop, 0, true};
        processStation = slots[0].handle;
        startDesktop = slots[1].handle;
    }

    UserObjectSlot* Find(ULONG_PTR handle, UserObjectKind kind)
    {
        if (handle != 0)
            for (UserObjectSlot& slot : slots)
                if (slot.handle == handle && slot.kind == kind)
                    return &slot;
        return nullptr;
    }

    UserObjectSlot* Find(ULONG_PTR handle)
    {
        UserObjectSlot* slot = Find(handle, UserObjectKind::Station);
        return slot ? slot : Find(handle, UserObjectKind::Desktop);
    }

    ULONG_PTR Open(UserObjectKind kind, int desktop)
    {
        for (UserObjectSlot& slot : slots)
            if (slot.kind == UserObjectKind::Free) {
                slot = {nextHandle += 4, kind, desktop, 0, false};
                return slot.handle;
            }
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
};
DesktopTable& Desktops();
