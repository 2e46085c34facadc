// The simulated user world's settings and key journal.
#include "platform/linux/user_internal.h"
#include "platform/linux/windows.h"

#include <fcntl.h>
#include <sys/stat.h>
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

// What identifies one state of the registry file without reading it.
struct RegistryIdentity {
    char path[PATH_MAX] = "";
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    time_t seconds = 0;
    long nanoseconds = 0;
};

struct World {
    std::mutex lock;
    bool loaded = false;
    RegistryIdentity identity;
    UserSettings settings{};
    char journalPath[PATH_MAX] = "";
    int journal = -1;
};

World& State()
{
    // Never destroyed: other threads may still inject keys while the process exits.
    static auto* world = new World();
    return *world;
}

bool SameIdentity(const RegistryIdentity& a, const RegistryIdentity& b)
{
    return a.exists == b.exists && a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.seconds == b.seconds && a.nanoseconds == b.nanoseconds && std::strcmp(a.path, b.path) == 0;
}

void CurrentIdentity(RegistryIdentity& identity)
{
    const char* path = std::getenv("KPL_REGISTRY");
    std::snprintf(identity.path, sizeof identity.path, "%s", path ? path : "");
    struct stat st;
    identity.exists = path != nullptr && stat(path, &st) == 0;
    if (!identity.exists)
        return;
    identity.device = st.st_dev;
    identity.inode = st.st_ino;
    identity.size = st.st_size;
    identity.seconds = st.st_mtim.tv_sec;
    identity.nanoseconds = st.st_mtim.tv_nsec;
}

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

void LoadSettings(World& world)
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
    // A layout id's low word is its language; the standard layouts' handles
    // repeat it in both words.
    s.Layout = UsLayout;
    if (ReadNumber(HKEY_CURRENT_USER, "Keyboard Layout\\Preload", "1", 16, number) && (number & 0xFFFF) != 0)
        s.Layout = static_cast<DWORD>((number & 0xFFFF) << 16 | (number & 0xFFFF));
    if (!ReadString(HKEY_LOCAL_MACHINE, "SOFTWARE\\KplHost", "InputDesktop", s.InputDesktop, sizeof s.InputDesktop))
        std::snprintf(s.InputDesktop, sizeof s.InputDesktop, "Default");
    if (!ReadString(HKEY_LOCAL_MACHINE, "SOFTWARE\\KplHost", "KeyJournal", world.journalPath,
                    sizeof world.journalPath))
        world.journalPath[0] = '\0';
}

void CloseJournal(World& world)
{
    if (world.journal >= 0)
        close(world.journal);
    world.journal = -1;
}

void RefreshLocked(World& world)
{
    RegistryIdentity now;
    CurrentIdentity(now);
    if (world.loaded && SameIdentity(now, world.identity))
        return;
    world.identity = now;
    world.loaded = true;
    LoadSettings(world);
    // The journal may have moved, or the test that wrote it may be gone.
    CloseJournal(world);
}

}  // namespace

void ReadUserSettings(UserSettings& settings)
{
    World& world = State();
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

    World& world = State();
    std::lock_guard<std::mutex> guard(world.lock);
    RefreshLocked(world);
    if (world.journal < 0 && world.journalPath[0] != '\0')
        world.journal = open(world.journalPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (world.journal < 0)
        return;
    // One write per line: readers never see half a line.
    ssize_t written = write(world.journal, line, static_cast<size_t>(length));
    (void)written;
}

std::atomic<UserCallFilter> FailingUserCallFilter{nullptr};

void ForgetUserSettings()
{
    World& world = State();
    std::lock_guard<std::mutex> guard(world.lock);
    world.loaded = false;
    CloseJournal(world);
}
