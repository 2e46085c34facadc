#include "sim/pgw/pgw_core.h"

namespace {

constexpr int RecordCount = 128;
constexpr uint32_t LedBlockSize = 32;
constexpr uint32_t RecordSize = 24;

enum Led { NumLockLed = 0, CapsLockLed = 1, ScrollLockLed = 2, KeyHeldLed = 3, RepeatLed = 4 };
enum LedState : uint8_t { LedOff = 0, LedSlowBlink = 1, LedFastBlink = 2, LedOn = 3 };

struct Run {
    PgwKeyCodes Keys[PgwKeyCount];
    uint8_t Matrix[16];
    uint32_t PressOrder[PgwKeyCount];  // 0 = not held
    uint32_t PressCount;
    int RepeatKey;
    uint32_t HeldCycles;
    uint32_t SinceRepeat;
    bool Repeating;
    uint16_t RepeatDelay;
    uint16_t RepeatInterval;
    uint32_t LockMask;
};

// Zero-initialised, so a driver image needs no constructor for it.
Run State;

void CopyBytes(uint8_t* to, const uint8_t* from, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i)
        to[i] = from[i];
}

void ZeroBytes(void* memory, uint32_t count)
{
    uint8_t* bytes = static_cast<uint8_t*>(memory);
    for (uint32_t i = 0; i < count; ++i)
        bytes[i] = 0;
}

void SetSequence(PgwSequence& s, const uint8_t* codes, uint8_t count)
{
    s.Length = count;
    CopyBytes(s.Codes, codes, count);
}

// A key of one set-2 code (prefixed with E0 when extended): break is F0 before its last byte.
void MapSimpleKey(PgwKeyCodes& key, uint8_t code, bool extended)
{
    const uint8_t plainMake[] = {code}, plainBreak[] = {0xF0, code};
    const uint8_t extendedMake[] = {0xE0, code}, extendedBreak[] = {0xE0, 0xF0, code};
    if (extended) {
        SetSequence(key.Make, extendedMake, 2);
        SetSequence(key.Break, extendedBreak, 3);
    } else {
        SetSequence(key.Make, plainMake, 1);
        SetSequence(key.Break, plainBreak, 2);
    }
}

void DefaultKeyMap(PgwKeyCodes* keys)
{
    // Letters A-Z, digits 0-9, Enter, Escape, Backspace, Tab, Space, F1-F12,
    // Shift, Ctrl, Alt, NumLock, CapsLock, ScrollLock: keys 0 to 58.
    static const uint8_t plain[] = {
        0x1C, 0x32, 0x21, 0x23, 0x24, 0x2B, 0x34, 0x33, 0x43, 0x3B, 0x42, 0x4B, 0x3A, 0x31, 0x44, 0x4D,
        0x15, 0x2D, 0x1B, 0x2C, 0x3C, 0x2A, 0x1D, 0x22, 0x35, 0x1A, 0x16, 0x1E, 0x26, 0x25, 0x2E, 0x36,
        0x3D, 0x3E, 0x46, 0x45, 0x5A, 0x76, 0x66, 0x0D, 0x29, 0x05, 0x06, 0x04, 0x0C, 0x03, 0x0B, 0x83,
        0x0A, 0x01, 0x09, 0x78, 0x07, 0x12, 0x14, 0x11, 0x77, 0x58, 0x7E};
    // Up, Down, Left, Right, Delete: keys 59 to 63.
    static const uint8_t extended[] = {0x75, 0x72, 0x6B, 0x74, 0x71};
    // Pause (key 64) sends its break with its make; key 127 is Ctrl-Alt-Del.
    static const uint8_t pause[] = {0xE1, 0x14, 0x77, 0xE1, 0xF0, 0x14, 0xF0, 0x77};
    static const uint8_t ctrlAltDelMake[] = {0x14, 0x11, 0xE0, 0x71};
    static const uint8_t ctrlAltDelBreak[] = {0xE0, 0xF0, 0x71, 0xF0, 0x11, 0xF0, 0x14};

    ZeroBytes(keys, sizeof(PgwKeyCodes) * PgwKeyCount);
    int key = 0;
    for (uint8_t code : plain)
        MapSimpleKey(keys[key++], code, false);
    for (uint8_t code : extended)
        MapSimpleKey(keys[key++], code, true);
    SetSequence(keys[key].Make, pause, sizeof pause);
    SetSequence(keys[127].Make, ctrlAltDelMake, sizeof ctrlAltDelMake);
    SetSequence(keys[127].Break, ctrlAltDelBreak, sizeof ctrlAltDelBreak);
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool Blank(char c)
{
    return c == ' ' || c == '\t';
}

// One side of a key map value, up to `end` (the slash or the final NUL).
bool ParseSide(const char* text, char end, PgwSequence& side, const char** next)
{
    side.Length = 0;
    for (;;) {
        while (Blank(*text))
            ++text;
        if (*text == end) {
            *next = text;
            return true;
        }
        int digits = 0;
        unsigned value = 0;
        for (int digit; (digit = HexDigit(*text)) >= 0; ++text, ++digits)
            value = value * 16 + static_cast<unsigned>(digit);
        if (digits == 0 || digits > 2 || !(Blank(*text) || *text == end) || side.Length == PgwMaxCodes)
            return false;
        side.Codes[side.Length++] = static_cast<uint8_t>(value);
    }
}

// Calls visit(key) for each key whose bit `bitsOf(byte)` sets, in key order;
// a byte at a time, as an idle panel's matrix neither changes nor holds a key.
template <typename Bits, typename Visit>
void ForEachKey(Bits bitsOf, Visit visit)
{
    for (int byte = 0; byte < PgwKeyCount / 8; ++byte)
        for (unsigned bits = static_cast<unsigned>(bitsOf(byte)) & 0xFFu, bit = 0; bits != 0; bits >>= 1, ++bit)
            if (bits & 1)
                visit(byte * 8 + static_cast<int>(bit));
}

// Counts key events; a sequence of more than one (Pause, Ctrl-Alt-Del) does
// not repeat, as a keyboard's typematic does not.
int KeyEvents(const PgwSequence& s)
{
    int events = 0;
    int pending = 0;  // code bytes still owed to an E1 prefix
    for (int i = 0; i < s.Length; ++i) {
        const uint8_t b = s.Codes[i];
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

bool Repeats(const PgwKeyCodes& codes)
{
    return codes.Break.Length > 0 && KeyEvents(codes.Make) == 1;
}

void SetLed(uint8_t* block, int led, uint8_t state)
{
    const int shift = 2 * (led % 4);
    block[led / 4] = static_cast<uint8_t>((block[led / 4] & ~(3 << shift)) | state << shift);
}

struct ReplyWriter {
    uint8_t* Reply;
    int Next;

    void Add(const PgwSequence& s)
    {
        if (s.Length == 0 || Next == RecordCount)
            return;
        uint8_t* record = Reply + LedBlockSize + RecordSize * Next++;
        record[0] = s.Length;  // little-endian u16
        record[1] = 0;
        CopyBytes(record + 2, s.Codes, s.Length);
    }
};

void ToggleLock(const PgwSequence& make)
{
    if (make.Length != 1)
        return;
    switch (make.Codes[0]) {
    case 0x77: State.LockMask ^= PgwNumLock; break;
    case 0x58: State.LockMask ^= PgwCapsLock; break;
    case 0x7E: State.LockMask ^= PgwScrollLock; break;
    default: break;
    }
}

void Repeat(ReplyWriter& writer, int latest)
{
    if (latest != State.RepeatKey) {
        // A new key, or an older one left holding after the latest was released: its delay starts now.
        State.RepeatKey = latest;
        State.HeldCycles = 0;
        State.Repeating = false;
        return;
    }
    if (latest < 0 || !Repeats(State.Keys[latest]))
        return;
    const uint32_t delay = State.RepeatDelay ? State.RepeatDelay : 1;
    const uint32_t interval = State.RepeatInterval ? State.RepeatInterval : 1;
    if (!State.Repeating) {
        if (++State.HeldCycles >= delay) {
            State.Repeating = true;
            State.SinceRepeat = 0;
            writer.Add(State.Keys[latest].Make);
        }
    } else if (++State.SinceRepeat >= interval) {
        State.SinceRepeat = 0;
        writer.Add(State.Keys[latest].Make);
    }
}

// `request` is a copy: the reply may overwrite the caller's input.
void Translate(const uint8_t* request, uint8_t* reply)
{
    static const uint8_t released[16] = {};
    const bool commFailed = (request[0] | request[1] | request[2] | request[3]) != 0;
    const uint8_t* matrix = commFailed ? released : request + 4;
    ZeroBytes(reply, PgwKeyReplySize);
    ReplyWriter writer{reply, 0};

    // Key by key in matrix order, all releases before all presses.
    ForEachKey([&](int byte) { return State.Matrix[byte] & ~matrix[byte]; }, [&](int key) {
        writer.Add(State.Keys[key].Break);
        State.PressOrder[key] = 0;
    });
    ForEachKey([&](int byte) { return matrix[byte] & ~State.Matrix[byte]; }, [&](int key) {
        writer.Add(State.Keys[key].Make);
        State.PressOrder[key] = ++State.PressCount;
        ToggleLock(State.Keys[key].Make);
    });

    // Only held keys have a press order.
    int latest = -1;
    ForEachKey([&](int byte) { return matrix[byte]; }, [&](int key) {
        if (latest < 0 || State.PressOrder[key] > State.PressOrder[latest])
            latest = key;
    });
    Repeat(writer, latest);

    CopyBytes(State.Matrix, matrix, sizeof State.Matrix);
    SetLed(reply, NumLockLed, (State.LockMask & PgwNumLock) ? LedOn : LedOff);
    SetLed(reply, CapsLockLed, (State.LockMask & PgwCapsLock) ? LedOn : LedOff);
    SetLed(reply, ScrollLockLed, (State.LockMask & PgwScrollLock) ? LedOn : LedOff);
    SetLed(reply, KeyHeldLed, latest >= 0 ? LedSlowBlink : LedOff);
    SetLed(reply, RepeatLed, State.Repeating ? LedFastBlink : LedOff);
}

uint32_t LittleEndian(const uint8_t* bytes, int count)
{
    uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = value << 8 | bytes[i];
    return value;
}

}  // namespace

void PgwStartRun()
{
    ZeroBytes(&State, sizeof State);
    DefaultKeyMap(State.Keys);
    State.RepeatKey = -1;
    State.RepeatDelay = PgwDefaultRepeatDelay;
    State.RepeatInterval = PgwDefaultRepeatInterval;
}

bool PgwParseKeyCodes(const char* text, PgwKeyCodes* codes)
{
    const char* slash;
    const char* end;
    return ParseSide(text, '/', codes->Make, &slash) && ParseSide(slash + 1, '\0', codes->Break, &end);
}

void PgwMapKey(int key, const PgwKeyCodes& codes)
{
    if (key >= 0 && key < PgwKeyCount)
        State.Keys[key] = codes;
}

PgwResult PgwCheckRequest(uint32_t code, const void* in, uint32_t inSize, const void* out, uint32_t outSize)
{
    uint32_t wantIn = 4, wantOut = 0;
    switch (code) {
    case PgwTranslateKeys:
        wantIn = PgwKeyRequestSize;
        wantOut = PgwKeyReplySize;
        break;
    case PgwSetRepeatCycles:
    case PgwSetLockStates:
        break;
    default:
        return PgwUnknownRequest;
    }
    if (inSize != wantIn || outSize != wantOut || in == nullptr || (wantOut != 0 && out == nullptr))
        return PgwBadBuffer;
    return PgwDone;
}

PgwResult PgwRequest(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize, uint32_t* returned)
{
    *returned = 0;
    const PgwResult check = PgwCheckRequest(code, in, inSize, out, outSize);
    if (check != PgwDone)
        return check;

    uint8_t input[PgwKeyRequestSize];
    CopyBytes(input, static_cast<const uint8_t*>(in), inSize);
    switch (code) {
    case PgwTranslateKeys:
        Translate(input, static_cast<uint8_t*>(out));
        *returned = PgwKeyReplySize;
        break;
    case PgwSetRepeatCycles:
        State.RepeatDelay = static_cast<uint16_t>(LittleEndian(input, 2));
        State.RepeatInterval = static_cast<uint16_t>(LittleEndian(input + 2, 2));
        break;
    default:
        State.LockMask = LittleEndian(input, 4) & (PgwNumLock | PgwCapsLock | PgwScrollLock);
        break;
    }
    return PgwDone;
}

PgwRunState PgwGetRunState()
{
    return {State.RepeatDelay, State.RepeatInterval, State.LockMask};
}
