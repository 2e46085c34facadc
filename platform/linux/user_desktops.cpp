// Window station WinSta0 with the desktops Default and Winlogon.
#include "platform/linux/user_internal.h"
#include "platform/linux/windows.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>

DesktopTable& Desktops()
{
    static auto* desktops = new DesktopTable();
    return *desktops;
}

namespace {

struct ThreadDesktop {
    std::uint64_t generation = 0;
    ULONG_PTR handle = 0;

    ULONG_PTR Current(const DesktopTable& desktops) const
    {
        return generation == desktops.generation && handle != 0 ? handle : desktops.startDesktop;
    }

    void Leave(DesktopTable& desktops)
    {
        if (generation == desktops.generation)
            if (UserObjectSlot* slot = desktops.Find(handle, UserObjectKind::Desktop); slot && slot->users > 0)
                --slot->users;
        handle = 0;
    }

    ~ThreadDesktop()
    {
        DesktopTable& desktops = Desktops();
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
    DesktopTable& desktops = Desktops();
    std::lock_guard<std::mutex> guard(desktops.lock);
    const UserObjectSlot* slot = desktops.Find(CurrentDesktop.Current(desktops), UserObjectKind::Desktop);
    return DesktopNames[slot ? slot->desktop : DefaultDesktop];
}

HWINSTA WINAPI GetProcessWindowStation(void)
{
    DesktopTable& desktops = Desktops();
    std::lock_guard<std::mutex> guard(desktops.lock);
    return As<HWINSTA>(desktops.processStation);
}

HWINSTA WINAPI OpenWindowStationA(LPCSTR name, BOOL, ACCESS_MASK)
{
    if (FailingCall(SimulatedCall::OpenWindowStation))
        return nullptr;
    if (name == nullptr || strcasecmp(name, StationName) != 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    DesktopTable& desktops = Desktops();
    std::lock_guard<std::mutex> guard(desktops.lock);
    return As<HWINSTA>(desktops.Open(UserObjectKind::Station, DefaultDesktop));
}

BOOL WINAPI SetProcessWindowStation(HWINSTA station)
{
    if (FailingCall(SimulatedCall::SetProcessWindowStation))
        return FALSE;
    DesktopTable& desktops = Desktops();
    std::lock_guard<std::mutex> guard(desktops.lock);
    if (desktops.Find(Value(station), UserObjectKind::Station) == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    desktops.processStation = Value(station);
    return TRUE;
}

BOOL WINAPI CloseWindowStation(HWINSTA station)
{
    DesktopTable& desktops = Desktops();
    std::lock_guard<std::mutex> guard(desktops.lock);
    UserObjectSlot* slot = desktops.Find(Value(station), UserObjectKind::Station);
    if (slot == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Windows refuses to close the station the process is using.
    if (slot->permanent || slot->handle == desktops.processStation) {
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    *slot = UserObjectSlot{};
    return TRUE;
}

HDESK WINAPI OpenDesktopA(LPCSTR name, DWORD, BOOL, ACCESS_MASK)
{
    if (FailingCall(SimulatedCall::OpenDesktop))
        return nullptr;
    const int index = DesktopIndex(name);
    if (index < 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    DesktopTable& desktops = Desktops();
    std::lock_guard<std::mutex> guard(desktops.lock);
    return As<HDESK>(desktops.Open(UserObjectKind::Desktop, index));
}

HDESK WINAPI OpenInputDesktop(DWORD, BOOL, ACCESS_MASK)
{
    if (FailingCall(SimulatedCall::OpenInputDesktop))
        return nullptr;
    UserSettings settings;
    ReadUserSettings(settings);
    DesktopTable& desktops = Desktops();
    std::lock_guard<std::mutex> guard(desktops.lock);
    const int index = DesktopIndex(settings.InputDesktop);
    if (index < 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    return As<HDESK>(desktops.Open(UserObjectKind::Desktop, index));
}

HDESK WINAPI GetThreadDesktop(DWORD threadId)
{
    if (threadId == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    DesktopTable& desktops = Desktops();
    std::lock_guard<std::mutex> guard(desktops.lock);
    // Only the calling thread's own desktop is followed; others are reported
    // on the start desktop.
    if (threadId != GetCurrentThreadId())
        return As<HDESK>(desktops.startDesktop);
    return As<HDESK>(CurrentDesktop.Current(desktops));
}

BOOL WINAPI SetThreadDesktop(HDESK desktop)
{
    if (FailingCall(SimulatedCall::SetThreadDesktop))
        return FALSE;
    DesktopTable& desktops = Desktops();
    std::lock_guard<std::mutex> guard(desktops.lock);
    UserObjectSlot* slot = desktops.Find(Value(desktop), UserObjectKind::Desktop);
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
    DesktopTable& desktops = Desktops();
    std::lock_guard<std::mutex> guard(desktops.lock);
    UserObjectSlot* slot = desktops.Find(Value(desktop), UserObjectKind::Desktop);
    if (slot == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Windows refuses to close a desktop that a thread of the process uses.
    if (slot->permanent || slot->users > 0) {
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    *slot = UserObjectSlot{};
    return TRUE;
}

BOOL WINAPI GetUserObjectInformationA(HANDLE object, int index, PVOID info, DWORD length, LPDWORD lengthNeeded)
{
    if (index != UOI_NAME) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DesktopTable& desktops = Desktops();
    std::lock_guard<std::mutex> guard(desktops.lock);
    const UserObjectSlot* slot = desktops.Find(Value(object));
    if (slot == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const char* name = slot->kind == UserObjectKind::Station ? StationName : DesktopNames[slot->desktop];
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
