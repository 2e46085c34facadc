// The simulated user world's settings and key journal.
#include "platform/linux/host_settings.h"
#include "platform/linux/user_internal.h"
#include "platform/linux/windows.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

namespace {

constexpr UINT DefaultKeyboardDelay = 1;
constexpr UINT DefaultKeyboardSpeed = 31;
constexpr DWORD UsLayout = 0x04090409;


// False unless the value exists as a string that fits.
bool ReadString(HKEY root, const char* keyName, const char* valueName, char* text, DWORD size)
{
    HKEY key;
    if (RegOpenKeyExA(root, keyName, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = REG_NONE;
    DWORD length = size - 1;
    LONG status = RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(text), &length);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    text[length] = '\0';
    return true;
}

bool ReadNumber(HKEY root, const char* keyName, const char* valueName, int base, unsigned long& number)
{
    char text[32];
    if (!ReadString(root, keyName, valueName, text, sizeof text))
        return false;
    char* end = nullptr;
    number = std::strtoul(text, &end, base);
    return end != text && *end == '\0';
}

// A layout id's low word is its language; the standard layouts' handles
// repeat it in both words.
DWORD ReadLayout(HKEY root, const char* preloadKey)
{
    unsigned long number = 0;
    if (ReadNumber(root, preloadKey, "1", 16, number) && (number & 0xFFFF) != 0)
        return static_cast<DWORD>((number & 0xFFFF) << 16 | (number & 0xFFFF));
    return UsLayout;
}

void LoadSettings(UserWorld& world)
{
    constexpr const char* keyboardKey = "Control Panel\\Keyboard";
    UserSettings& s = world.settings;
    unsigned long number = 0;
    s.KeyboardDelay = ReadNumber(HKEY_CURRENT_USER, keyboardKey, "KeyboardDelay", 10, number)
                          ? static_cast<UINT>(number > 3 ? 3 : number)
                          : DefaultKeyboardDelay;
    s.KeyboardSpeed = ReadNumber(HKEY_CURRENT_USER, keyboardKey, "KeyboardSpeed", 10, number)
                          ? static_cast<UINT>(number > 31 ? 31 : number)
                          : DefaultKeyboardSpeed;
    s.InitialIndicators = ReadNumber(HKEY_CURRENT_USER, keyboardKey, "InitialKeyboardIndicators", 10, number)
                              ? static_cast<DWORD>(number)
                              : 0;
    s.Layout = ReadLayout(HKEY_CURRENT_USER, "Keyboard Layout\\Preload");
    s.DefaultLayout = ReadLayout(HKEY_USERS, ".DEFAULT\\Keyboard Layout\\Preload");
    HostSettings host;
    CurrentHostSettings(host);
    std::snprintf(s.InputDesktop, sizeof s.InputDesktop, "%s", host.InputDesktop.c_str());
    std::snprintf(world.journalPath, sizeof world.journalPath, "%s", host.KeyJournal.c_str());
}

void RefreshLocked(UserWorld& world)
{
    // Read before the settings: a change made meanwhile is read at the next call.
    std::uint64_t version = RegistryVersion();
    if (world.loaded && version == world.registryVersion)
        return;
    world.registryVersion = version;
    world.loaded = true;
    LoadSettings(world);
    // The journal may have moved, or the test that wrote it may be gone.
    world.CloseJournal();
}

}  // namespace

UserWorld& UserSettingsWorld()
{
    // Never destroyed: other threads may still inject keys while the process exits.
    static auto* world = new UserWorld();
    return *world;
}

void ReadUserSettings(UserSettings& settings)
{
    UserWorld& world = UserSettingsWorld();
    std::lock_guard<std::mutex> guard(world.lock);
    RefreshLocked(world);
    settings = world.settings;
}

void WriteJournalLine(const char* format, ...)
{
    char line[256];
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc;
    gmtime_r(&now.tv_sec, &utc);
    int length = std::snprintf(line, sizeof line, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ ", utc.tm_year + 1900,
                               utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                               now.tv_nsec / 1000000);
    va_list args;
    va_start(args, format);
    length += std::vsnprintf(line + length, sizeof line - static_cast<size_t>(length) - 1, format, args);
    va_end(args);
    if (length > static_cast<int>(sizeof line) - 2)
        length = static_cast<int>(sizeof line) - 2;
    line[length++] = '\n';

    UserWorld& world = UserSettingsWorld();
    std::lock_guard<std::mutex> guard(world.lock);
    RefreshLocked(world);
    if (world.journal < 0 && world.journalPath[0] != '\0')
        // Everything typed on the panel, passwords included: for the owner only.
        world.journal = open(world.journalPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (world.journal < 0)
        return;
    // One write per line: readers never see half a line.
    ssize_t written = write(world.journal, line, static_cast<size_t>(length));
    (void)written;
}
