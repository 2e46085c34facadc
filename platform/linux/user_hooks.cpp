// Test hooks of the simulated user world. Linked into the test suites only:
// the service's own calls never fail on purpose.
#include "platform/linux/user_internal.h"
#include "platform/linux/windows.h"

#include <mutex>

namespace {

constexpr int SimulatedCallCount = static_cast<int>(SimulatedCall::GetGUIThreadInfo) + 1;

struct Injection {
    DWORD error = 0;
    unsigned after = 0;
    unsigned count = 0;
};

struct Injections {
    std::mutex lock;
    Injection calls[SimulatedCallCount];
};

Injections& State()
{
    static auto* injections = new Injections();
    return *injections;
}

bool FailInjected(SimulatedCall call)
{
    Injections& injections = State();
    std::lock_guard<std::mutex> guard(injections.lock);
    Injection& injection = injections.calls[static_cast<int>(call)];
    if (injection.count == 0)
        return false;
    if (injection.after > 0) {
        --injection.after;
        return false;
    }
    --injection.count;
    SetLastError(injection.error);
    return true;
}

}  // namespace

void FailSimulatedCall(SimulatedCall call, DWORD error, unsigned after, unsigned count)
{
    Injections& injections = State();
    {
        std::lock_guard<std::mutex> guard(injections.lock);
        injections.calls[static_cast<int>(call)] = {error, after, error == 0 ? 0 : count};
    }
    FailingCallFilter = FailInjected;
}

void ResetSimulatedUser()
{
    {
        Injections& injections = State();
        std::lock_guard<std::mutex> guard(injections.lock);
        for (Injection& injection : injections.calls)
            injection = Injection{};
    }
    {
        UserWorld& world = UserSettingsWorld();
        std::lock_guard<std::mutex> guard(world.lock);
        world.loaded = false;
        world.CloseJournal();
    }
    {
        KeyboardState& keyboard = Keyboard();
        std::lock_guard<std::mutex> guard(keyboard.lock);
        keyboard.ready = false;
    }
    DesktopTable& desktops = Desktops();
    std::lock_guard<std::mutex> guard(desktops.lock);
    desktops.Start();
}

int OpenSimulatedUserHandles()
{
    DesktopTable& desktops = Desktops();
    std::lock_guard<std::mutex> guard(desktops.lock);
    int count = 0;
    for (const UserObjectSlot& slot : desktops.slots)
        count += slot.kind != UserObjectKind::Free && !slot.permanent;
    return count;
}
