#include "sim/panel_driver_model.h"

#include "driver/panel_driver.h"
#include "platform/linux/devices.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

constexpr int KeyCount = 128;
constexpr int MaxCodes = 22;
constexpr int RecordCount = 128;
constexpr const char* DriverKey = "SOFTWARE\\KplHost\\Pgw";
constexpr const char* KeyMapKey = "SOFTWARE\\KplHost\\Pgw\\KeyMap";

struct Sequence {
    BYTE Length = 0;
    BYTE Codes[MaxCodes] = {};
};

struct KeyCodes {
    Sequence Make;
    Sequence Break;
};

enum Led { NumLockLed = 0, CapsLockLed = 1, ScrollLockLed = 2, KeyHeldLed = 3, RepeatLed = 4 };
enum LedState : BYTE { LedOff = 0, LedSlowBlink = 1, LedFastBlink = 2, LedOn = 3 };

struct Model {
    std::mutex lock;
    bool open = false;
    KeyCodes keys[KeyCount];
    BYTE matrix[16] = {};
    unsigned pressOrder[KeyCount] = {};  // 0 = not held
    unsigned pressCount = 0;
    int repeatKey = -1;
    unsigned heldCycles = 0;
    unsigned sinceRepeat = 0;
    bool repeating = false;
    WORD repeatDelay = DefaultRepeatDelay;
    WORD repeatInterval = DefaultRepeatInterval;
    DWORD lockMask = 0;
};

Model& State()
{
    static auto* model = new Model();
    return *model;
}

Sequence Bytes(std::initializer_list<BYTE> codes)
{
    Sequence s;
    for (BYTE code : codes)
        s.Codes[s.Length++] = code;
    return s;
}

// A key of one set-2 code (prefixed with E0 when extended): break is F0 before its last byte.
KeyCodes SimpleKey(BYTE code, bool extended = false)
{
    if (extended)
        return {Bytes({0xE0, code}), Bytes({0xE0, 0xF0, code})};
    return {Bytes({code}), Bytes({0xF0, code})};
}

void DefaultKeyMap(KeyCodes* keys)
{
    static const BYTE letters[26] = {0x1C, 0x32, 0x21, 0x23, 0x24, 0x2B, 0x34, 0x33, 0x43, 0x3B, 0x42, 0x4B, 0x3A,
                                     0x31, 0x44, 0x4D, 0x15, 0x2D, 0x1B, 0x2C, 0x3C, 0x2A, 0x1D, 0x22, 0x35, 0x1A};
    static const BYTE digits[10] = {0x16, 0x1E, 0x26, 0x25, 0x2E, 0x36, 0x3D, 0x3E, 0x46, 0x45};
    static const BYTE functionKeys[12] = {0x05, 0x06, 0x04, 0x0C, 0x03, 0x0B, 0x83, 0x0A, 0x01, 0x09, 0x78, 0x07};
    static const BYTE others[] = {0x5A, 0x76, 0x66, 0x0D, 0x29};  // Enter, Escape, Backspace, Tab, Space
    static const BYTE modifiersAndLocks[] = {0x12, 0x14, 0x11, 0x77, 0x58, 0x7E};
    static const BYTE cursor[] = {0x75, 0x72, 0x6B, 0x74, 0x71};  // Up, Down, Left, Right, Delete

    for (int key = 0; key < KeyCount; ++key)
        keys[key] = KeyCodes{};
    int key = 0;
    for (BYTE code : letters)
        keys[key++] = SimpleKey(code);
    for (BYTE code : digits)
        keys[key++] = SimpleKey(code);
    for (BYTE code : others)
        keys[key++] = SimpleKey(code);
    for (BYTE code : functionKeys)
        keys[key++] = SimpleKey(code);
    for (BYTE code : modifiersAndLocks)
        keys[key++] = SimpleKey(code);
    for (BYTE code : cursor)
        keys[key++] = SimpleKey(code, true);
    // Pause sends its break with its make.
    keys[key++].Make = Bytes({0xE1, 0x14, 0x77, 0xE1, 0xF0, 0x14, 0xF0, 0x77});
    keys[127] = {Bytes({0x14, 0x11, 0xE0, 0x71}), Bytes({0xE0, 0xF0, 0x71, 0xF0, 0x11, 0xF0, 0x14})};
}

// "14 11/F0 11 F0 14": hex bytes separated by blanks, make and break by a slash.
bool ParseSide(const char* text, const char* end, Sequence& side)
{
    side = Sequence{};
    while (text < end) {
        if (*text == ' ' || *text == '\t') {
            ++text;
            continue;
        }
        int digits = 0;
        unsigned value = 0;
        while (text < end && std::isxdigit(static_cast<unsigned char>(*text)) && digits < 3) {
            value = value * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(*text))
                                                           ? *text - '0'
                                                           : std::tolower(static_cast<unsigned char>(*text)) - 'a' + 10);
            ++text;
            ++digits;
        }
        if (digits == 0 || digits > 2 || (text < end && *text != ' ' && *text != '\t') || side.Length == MaxCodes)
            return false;
        side.Codes[side.Length++] = static_cast<BYTE>(value);
    }
    return true;
}

bool ParseKeyCodes(const char* text, KeyCodes& codes)
{
    const char* slash = std::strchr(text, '/');
    if (slash == nullptr || std::strchr(slash + 1, '/') != nullptr)
        return false;
    return ParseSide(text, slash, codes.Make) && ParseSide(slash + 1, slash + std::strlen(slash), codes.Break);
}

// Malformed entries are left as they were.
void ReadKeyMap(KeyCodes* keys)
{
    HKEY map;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, KeyMapKey, 0, KEY_QUERY_VALUE, &map) != ERROR_SUCCESS)
        return;
    for (int key = 0; key < KeyCount; ++key) {
        char name[8];
        std::snprintf(name, sizeof name, "%d", key);
        char text[256];
        DWORD type = REG_NONE, size = sizeof text - 1;
        if (RegQueryValueExA(map, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS ||
            type != REG_SZ)
            continue;
        text[size] = '\0';
        KeyCodes codes;
        if (ParseKeyCodes(text, codes))
            keys[key] = codes;
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

bool Held(const BYTE* matrix, int key)
{
    return (matrix[key / 8] >> (key % 8)) & 1;
}

// Counts key events; a sequence of more than one (Pause, Ctrl-Alt-Del) does
// not repeat, as a keyboard's typematic does not.
int KeyEvents(const Sequence& s)
{
    int events = 0;
    int pending = 0;  // code bytes still owed to an E1 prefix
    for (int i = 0; i < s.Length; ++i) {
        const BYTE b = s.Codes[i];
        if (b == 0xE0 || b == 0xF0)
            continue;
        if (b == 0xE1) {
            pending = 1;
            continue;
        }
        if (pending > 0) {
            --pending;
            continue;
        }
        ++events;
    }
    return events;
}

bool Repeats(const KeyCodes& codes)
{
    return codes.Break.Length > 0 && KeyEvents(codes.Make) == 1;
}

void SetLed(BYTE* block, int led, BYTE state)
{
    const int shift = 2 * (led % 4);
    block[led / 4] = static_cast<BYTE>((block[led / 4] & ~(3 << shift)) | state << shift);
}

class Writer {
public:
    explicit Writer(KeyReply* reply) : reply_(reply) {}
    void Add(const Sequence& s)
    {
        if (s.Length == 0 || next_ == RecordCount)
            return;
        ScanCodeRecord& record = reply_->Records[next_++];
        record.Length = s.Length;
        std::memcpy(record.Codes, s.Codes, s.Length);
    }

private:
    KeyReply* reply_;
    int next_ = 0;
};

void ToggleLock(Model& m, const Sequence& make)
{
    if (make.Length != 1)
        return;
    switch (make.Codes[0]) {
    case 0x77: m.lockMask ^= LockNumLock; break;
    case 0x58: m.lockMask ^= LockCapsLock; break;
    case 0x7E: m.lockMask ^= LockScrollLock; break;
    default: break;
    }
}

void Translate(Model& m, const KeyRequest& request, KeyReply& reply)
{
    static const BYTE released[16] = {};
    const BYTE* matrix = request.CommFailed ? released : request.KeyMatrix;
    std::memset(&reply, 0, sizeof reply);
    Writer writer(&reply);

    for (int key = 0; key < KeyCount; ++key)
        if (Held(m.matrix, key) && !Held(matrix, key)) {
            writer.Add(m.keys[key].Break);
            m.pressOrder[key] = 0;
        }
    for (int key = 0; key < KeyCount; ++key)
        if (!Held(m.matrix, key) && Held(matrix, key)) {
            writer.Add(m.keys[key].Make);
            m.pressOrder[key] = ++m.pressCount;
            ToggleLock(m, m.keys[key].Make);
        }

    int latest = -1;
    bool anyHeld = false;
    for (int key = 0; key < KeyCount; ++key)
        if (m.pressOrder[key] != 0) {
            anyHeld = true;
            if (latest < 0 || m.pressOrder[key] > m.pressOrder[latest])
                latest = key;
        }
    if (latest != m.repeatKey) {
        // A new key, or an older one left holding after the latest was released: its delay starts now.
        m.repeatKey = latest;
        m.heldCycles = 0;
        m.repeating = false;
    } else if (latest >= 0 && Repeats(m.keys[latest])) {
        const unsigned delay = m.repeatDelay ? m.repeatDelay : 1;
        const unsigned interval = m.repeatInterval ? m.repeatInterval : 1;
        if (!m.repeating) {
            if (++m.heldCycles >= delay) {
                m.repeating = true;
                m.sinceRepeat = 0;
                writer.Add(m.keys[latest].Make);
            }
        } else if (++m.sinceRepeat >= interval) {
            m.sinceRepeat = 0;
            writer.Add(m.keys[latest].Make);
        }
    }

    std::memcpy(m.matrix, matrix, sizeof m.matrix);
    SetLed(reply.LedBlock, NumLockLed, (m.lockMask & LockNumLock) ? LedOn : LedOff);
    SetLed(reply.LedBlock, CapsLockLed, (m.lockMask & LockCapsLock) ? LedOn : LedOff);
    SetLed(reply.LedBlock, ScrollLockLed, (m.lockMask & LockScrollLock) ? LedOn : LedOff);
    SetLed(reply.LedBlock, KeyHeldLed, anyHeld ? LedSlowBlink : LedOff);
    SetLed(reply.LedBlock, RepeatLed, m.repeating ? LedFastBlink : LedOff);
}

class PanelDriverDevice : public KernelObject {
public:
    ~PanelDriverDevice() override
    {
        Model& m = State();
        std::lock_guard<std::mutex> guard(m.lock);
        m.open = false;
    }

    BOOL IoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned) override
    {
        *returned = 0;
        DWORD wantIn = 4, wantOut = 0;
        switch (code) {
        case IOCTL_PGW_TRANSLATE_KEYS:
            wantIn = sizeof(KeyRequest);
            wantOut = sizeof(KeyReply);
            break;
        case IOCTL_PGW_SET_REPEAT_CYCLES:
        case IOCTL_PGW_SET_LOCK_STATES:
            break;
        default:
            SetLastError(ERROR_INVALID_FUNCTION);
            return FALSE;
        }
        if (inSize != wantIn || outSize != wantOut || in == nullptr || (wantOut != 0 && out == nullptr)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }

        Model& m = State();
        std::lock_guard<std::mutex> guard(m.lock);
        switch (code) {
        case IOCTL_PGW_TRANSLATE_KEYS: {
            KeyRequest request;
            std::memcpy(&request, in, sizeof request);
            Translate(m, request, *static_cast<KeyReply*>(out));
            *returned = sizeof(KeyReply);
            break;
        }
        case IOCTL_PGW_SET_REPEAT_CYCLES: {
            WORD cycles[2];
            std::memcpy(cycles, in, sizeof cycles);
            m.repeatDelay = cycles[0];
            m.repeatInterval = cycles[1];
            break;
        }
        default: {
            DWORD mask;
            std::memcpy(&mask, in, sizeof mask);
            m.lockMask = mask & (LockNumLock | LockCapsLock | LockScrollLock);
            break;
        }
        }
        return TRUE;
    }
};

}  // namespace

std::shared_ptr<KernelObject> OpenPanelDriverModel(DWORD* error)
{
    // The registry is read before the model's lock is taken.
    KeyCodes keys[KeyCount];
    DefaultKeyMap(keys);
    ReadKeyMap(keys);
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
    // Each open is a fresh start of the driver: one run of the service.
    std::memcpy(m.keys, keys, sizeof keys);
    std::memset(m.matrix, 0, sizeof m.matrix);
    std::memset(m.pressOrder, 0, sizeof m.pressOrder);
    m.repeatKey = -1;
    m.heldCycles = m.sinceRepeat = 0;
    m.repeating = false;
    m.repeatDelay = DefaultRepeatDelay;
    m.repeatInterval = DefaultRepeatInterval;
    m.lockMask = 0;
    m.open = true;
    return std::make_shared<PanelDriverDevice>();
}

bool RegisterPanelDriverModel()
{
    return RegisterDevice(PanelDriverName, OpenPanelDriverModel);
}
