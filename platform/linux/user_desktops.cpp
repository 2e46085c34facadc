// Window station WinSta0 with the desktops Default and Winlogon.
#include "platform/linux/user_internal.h"
#include "platform/linux/windows.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>

namespace {

enum class Kind : BYTE { Free, Station, Desktop };

const char* const StationName = "WinSta0";
const char* const DesktopNames[] = {"Default", "Winlogon"};
constexpr int DefaultDesktop = 0;
constexpr int SlotCount = 64;
// Clear of the kernel's and the registry's handle numbers.
constexpr ULONG_PTR FirstHandle = 0x20000000;

struct Slot {
    ULONG_PTR handle = 0;
    Kind kind = Kind::Free;
    int desktop = DefaultDesktop;
    unsigned users = 0;     // threads that have it as their desktop
    bool permanent = false;  // given to the process at start; never closed
};

struct Desktops {
    std::mutex lock;
    Slot slots[SlotCount];
    ULONG_PTR nextHandle = FirstHandle;
    // Threads remember their desktop with the generation it belongs to, so
    // a reset puts every thread back on the start desktop.
    std::uint64_t generation = 1;
    ULONG_PTR processStation = 0;
    ULONG_PTR startDesktop = 0;
    int inputOverride = -1;

    Desktops() { Start(); }

    void Start()
    {
        for (Slot& slot : slots)
            slot = Slot{};
        ++generation;
        inputOverride = -1;
        slots[0] = {nextHandle += 4, Kind::Station, DefaultDesktop, 0, true};
        slots[1] = {nextHandle += 4, Kind::Desktop, DefaultDesktop, 0, true};
        processStation = slots[0].handle;
        startDesktop = slots[1].handle;
    }

    Slot* Find(ULONG_PTR handle, Kind kind)
    {
        if (handle != 0)
            for (Slot& slot : slots)
                if (slot.handle == handle && slot.kind == kind)
                    return &slot;
        return nullptr;
    }

    Slot* Find(ULONG_PTR handle)
    {
        Slot* slot = Find(handle, Kind::Station);
        return slot ? slot : Find(handle, Kind::Desktop);
    }

    ULONG_PTR Open(Kind kind, int desktop)
    {
        for (Slot& slot : slots)
            if (slot.kind == Kind::Free) {
                slot = {nextHandle += 4, kind, desktop, 0, false};
                return slot.handle;
            }
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
};

Desktops& State()
{
    static auto* desktops = new Desktops();
    return *desktops;
}

struct ThreadDesktop {
    std::uint64_t generation = 0;
    ULONG_PTR handle = 0;

    ULONG_PTR Current(const Desktops& desktops) const
    {
        return generation == desktops.generation && handle != 0 ? handle : desktops.startDesktop;
    }

    void Leave(Desktops& desktops)
    {
        if (generation == desktops.generation)
            if (Slot* slot = desktops.Find(handle, Kind::Desktop); slot && slot->users > 0)
                --slot->users;
        handle = 0;
    }

    ~ThreadDesktop()
    {
        Desktops& desktops = State();
        std::lock_guard<std::mutex> guard(desktops.lock);
        Leave(desktops);
    }
};

thread_local ThreadDesktop CurrentDesktop;

int DesktopIndex(const char* name)
{
    for (int i = 0; i < static_cast<int>(std::size(DesktopNames)); ++i)
        if (name != nullptr && strcasecmp(name, DesktopNames[i]) == 0)
            return i;
    return -1;
}

template <typename Handle>
ULONG_PTR Value(Handle handle)
{
    return reinterpret_cast<ULONG_PTR>(handle);
}

template <typename Handle>
Handle As(ULONG_PTR value)
{
    return reinterpret_cast<Handle>(value);
}

}  // namespace

const char* ThreadDesktopName()
{
    Desktops& desktops = State();
    std::lock_guard<std::mutex> guard(desktops.lock);
    const Slot* slot = desktops.Find(CurrentDesktop.Current(desktops), Kind::Desktop);
    return DesktopNames[slot ? slot->desktop : DefaultDesktop];
}

void ResetDesktops()
{
    Desktops& desktops = State();
    std::lock_guard<std::mutex> guard(desktops.lock);
    desktops.Start();
}

bool SetSimulatedInputDesktop(const char* name)
{
    const int index = name ? DesktopIndex(name) : -1;
    if (name != nullptr && index < 0)
        return false;
    Desktops& desktops = State();
    std::lock_guard<std::mutex> guard(desktops.lock);
    desktops.inputOverride = index;
    return true;
}

int OpenSimulatedUserHandles()
{
    Desktops& desktops = State();
    std::lock_guard<std::mutex> guard(desktops.lock);
    int count = 0;
    for (const Slot& slot : desktops.slots)
        count += slot.kind != Kind::Free && !slot.permanent;
    return count;
}

HWINSTA WINAPI GetProcessWindowStation(void)
{
    Desktops& desktops = State();
    std::lock_guard<std::mutex> guard(desktops.lock);
    return As<HWINSTA>(desktops.processStation);
}

HWINSTA WINAPI OpenWindowStationA(LPCSTR name, BOOL, ACCESS_MASK)
{
    if (FailingUserCall(UserCall::OpenWindowStation))
        return nullptr;
    if (name == nullptr || strcasecmp(name, StationName) != 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    Desktops& desktops = State();
    std::lock_guard<std::mutex> guard(desktops.lock);
    return As<HWINSTA>(desktops.Open(Kind::Station, DefaultDesktop));
}

BOOL WINAPI SetProcessWindowStation(HWINSTA station)
{
    if (FailingUserCall(UserCall::SetProcessWindowStation))
        return FALSE;
    Desktops& desktops = State();
    std::lock_guard<std::mutex> guard(desktops.lock);
    if (desktops.Find(Value(station), Kind::Station) == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    desktops.processStation = Value(station);
    return TRUE;
}

BOOL WINAPI CloseWindowStation(HWINSTA station)
{
    Desktops& desktops = State();
    std::lock_guard<std::mutex> guard(desktops.lock);
    Slot* slot = desktops.Find(Value(station), Kind::Station);
    if (slot == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Windows refuses to close the station the process is using.
    if (slot->permanent || slot->handle == desktops.processStation) {
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    *slot = Slot{};
    return TRUE;
}

HDESK WINAPI OpenDesktopA(LPCSTR name, DWORD, BOOL, ACCESS_MASK)
{
    if (FailingUserCall(UserCall::OpenDesktop))
        return nullptr;
    const int index = DesktopIndex(name);
    if (index < 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    Desktops& desktops = State();
    std::lock_guard<std::mutex> guard(desktops.lock);
    return As<HDESK>(desktops.Open(Kind::Desktop, index));
}

HDESK WINAPI OpenInputDesktop(DWORD, BOOL, ACCESS_MASK)
{
    if (FailingUserCall(UserCall::OpenInputDesktop))
        return nullptr;
    UserSettings settings;
    ReadUserSettings(settings);
    Desktops& desktops = State();
    std::lock_guard<std::mutex> guard(desktops.lock);
    const int index = desktops.inputOverride >= 0 ? desktops.inputOverride : DesktopIndex(settings.InputDesktop);
    if (index < 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    return As<HDESK>(desktops.Open(Kind::Desktop, index));
}

HDESK WINAPI GetThreadDesktop(DWORD threadId)
{
    if (threadId == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Desktops& desktops = State();
    std::lock_guard<std::mutex> guard(desktops.lock);
    // Only the calling thread's own desktop is followed; others are reported
    // on the start desktop.
    if (threadId != GetCurrentThreadId())
        return As<HDESK>(desktops.startDesktop);
    return As<HDESK>(CurrentDesktop.Current(desktops));
}

BOOL WINAPI SetThreadDesktop(HDESK desktop)
{
    if (FailingUserCall(UserCall::SetThreadDesktop))
        return FALSE;
    Desktops& desktops = State();
    std::lock_guard<std::mutex> guard(desktops.lock);
    Slot* slot = desktops.Find(Value(desktop), Kind::Desktop);
    if (slot == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    CurrentDesktop.Leave(desktops);
    ++slot->users;
    CurrentDesktop.generation = desktops.generation;
    CurrentDesktop.handle = slot->handle;
    return TRUE;
}

BOOL WINAPI CloseDesktop(HDESK desktop)
{
    Desktops& desktops = State();
    std::lock_guard<std::mutex> guard(desktops.lock);
    Slot* slot = desktops.Find(Value(desktop), Kind::Desktop);
    if (slot == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Windows refuses to close a desktop that a thread of the process uses.
    if (slot->permanent || slot->users > 0) {
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    *slot = Slot{};
    return TRUE;
}

BOOL WINAPI GetUserObjectInformationA(HANDLE object, int index, PVOID info, DWORD length, LPDWORD lengthNeeded)
{
    if (index != UOI_NAME) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Desktops& desktops = State();
    std::lock_guard<std::mutex> guard(desktops.lock);
    const Slot* slot = desktops.Find(Value(object));
    if (slot == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const char* name = slot->kind == Kind::Station ? StationName : DesktopNames[slot->desktop];
    const DWORD needed = static_cast<DWORD>(std::strlen(name) + 1);
    if (lengthNeeded != nullptr)
        *lengthNeeded = needed;
    if (info == nullptr || length < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(info, name, needed);
    return TRUE;
}
