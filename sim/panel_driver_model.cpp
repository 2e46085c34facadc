#include "sim/panel_driver_model.h"

#include "driver/panel_driver.h"
#include "platform/linux/devices.h"
#include "platform/linux/key_output.h"
#include "sim/pgw/pgw_core.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

constexpr const char* DriverKey = "SOFTWARE\\KplHost\\Pgw";
constexpr const char* KeyMapKey = "SOFTWARE\\KplHost\\Pgw\\KeyMap";

static_assert(PgwTranslateKeys == IOCTL_PGW_TRANSLATE_KEYS && PgwSetRepeatCycles == IOCTL_PGW_SET_REPEAT_CYCLES &&
              PgwSetLockStates == IOCTL_PGW_SET_LOCK_STATES);
static_assert(PgwKeyRequestSize == sizeof(KeyRequest) && PgwKeyReplySize == sizeof(KeyReply));
static_assert(PgwNumLock == LockNumLock && PgwCapsLock == LockCapsLock && PgwScrollLock == LockScrollLock);
static_assert(PgwDefaultRepeatDelay == DefaultRepeatDelay && PgwDefaultRepeatInterval == DefaultRepeatInterval);

// The core keeps the run; this adds what only the Linux model has.
struct Model {
    std::mutex lock;
    bool open = false;
};

Model& State()
{
    static auto* model = new Model();
    return *model;
}

struct KeyMapEntries {
    PgwKeyCodes codes[PgwKeyCount];
    bool present[PgwKeyCount] = {};
};

// Malformed entries are left out: the default stays.
void ReadKeyMap(KeyMapEntries& entries)
{
    HKEY map;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, KeyMapKey, 0, KEY_QUERY_VALUE, &map) != ERROR_SUCCESS)
        return;
    for (int key = 0; key < PgwKeyCount; ++key) {
        char name[8];
        std::snprintf(name, sizeof name, "%d", key);
        char text[256];
        DWORD type = REG_NONE, size = sizeof text - 1;
        if (RegQueryValueExA(map, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS ||
            type != REG_SZ)
            continue;
        text[size] = '\0';
        entries.present[key] = PgwParseKeyCodes(text, &entries.codes[key]);
    }
    RegCloseKey(map);
}

bool Present()
{
    HKEY driver;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, DriverKey, 0, KEY_QUERY_VALUE, &driver) != ERROR_SUCCESS)
        return true;
    DWORD present = 1, type = REG_NONE, size = sizeof present;
    LONG status = RegQueryValueExA(driver, "Present", nullptr, &type, reinterpret_cast<BYTE*>(&present), &size);
    RegCloseKey(driver);
    return status != ERROR_SUCCESS || type != REG_DWORD || present != 0;
}

class PanelDriverDevice : public KernelObject {
public:
    ~PanelDriverDevice() override
    {
        CloseKeyOutput();
        Model& m = State();
        std::lock_guard<std::mutex> guard(m.lock);
        m.open = false;
    }

    BOOL IoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned) override
    {
        Model& m = State();
        std::lock_guard<std::mutex> guard(m.lock);
        uint32_t count = 0;
        PgwResult result = PgwCheckRequest(code, in, inSize, out, outSize);
        if (result == PgwDone)
            result = PgwRequest(code, in, inSize, out, outSize, &count);
        *returned = count;
        switch (result) {
        case PgwDone: return TRUE;
        case PgwUnknownRequest: SetLastError(ERROR_INVALID_FUNCTION); return FALSE;
        default: SetLastError(ERROR_INVALID_PARAMETER); return FALSE;
        }
    }
};

}  // namespace

std::shared_ptr<KernelObject> OpenPanelDriverModel(DWORD* error)
{
    // The registry is read before the model's lock is taken.
    KeyMapEntries entries;
    ReadKeyMap(entries);
    if (!Present()) {
        *error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    Model& m = State();
    std::lock_guard<std::mutex> guard(m.lock);
    if (m.open) {
        *error = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    // The driver's keys reach the machine through its keyboard: a machine
    // that cannot be typed on fails here, at the driver's step.
    if (!OpenKeyOutput(error))
        return nullptr;
    // Each open is a fresh start of the driver: one run of the service.
    PgwStartRun();
    for (int key = 0; key < PgwKeyCount; ++key)
        if (entries.present[key])
            PgwMapKey(key, entries.codes[key]);
    m.open = true;
    return std::make_shared<PanelDriverDevice>();
}

bool RegisterPanelDriverModel()
{
    return RegisterDevice(PanelDriverName, OpenPanelDriverModel);
}
