// The panel driver's behaviour, one core for the Linux model behind "\\.\PGW"
// and for pgw.sys under wine: key matrix bits become set-2 make and break
// sequences through a key map, the most recently pressed key repeats after
// the cycles the service set, lock states and key presses drive the LED
// block, CommFailed releases every key.
//
// It runs inside a kernel-mode driver: no exceptions, no allocation, no
// library, no constructors. One run at a time; the host serialises calls.
#pragma once

#include <stdint.h>

inline constexpr int PgwKeyCount = 128;
inline constexpr int PgwMaxCodes = 22;
// Repeat cycles until the service sets its own.
inline constexpr uint16_t PgwDefaultRepeatDelay = 25;
inline constexpr uint16_t PgwDefaultRepeatInterval = 3;

// The three requests: device type 5, method buffered, any access.
inline constexpr uint32_t PgwTranslateKeys = 0x5200C;
inline constexpr uint32_t PgwSetRepeatCycles = 0x52114;
inline constexpr uint32_t PgwSetLockStates = 0x52118;
inline constexpr uint32_t PgwKeyRequestSize = 20;
inline constexpr uint32_t PgwKeyReplySize = 3104;
inline constexpr uint32_t PgwNumLock = 0x1, PgwCapsLock = 0x2, PgwScrollLock = 0x4;

struct PgwSequence {
    uint8_t Length;
    uint8_t Codes[PgwMaxCodes];
};

struct PgwKeyCodes {
    PgwSequence Make;
    PgwSequence Break;
};

struct PgwRunState {
    uint16_t RepeatDelay;
    uint16_t RepeatInterval;
    uint32_t LockMask;
};

enum PgwResult { PgwDone, PgwUnknownRequest, PgwBadBuffer };

// A fresh run: the default key map, nothing held, default repeat, locks off.
void PgwStartRun();
// A key map value, "14 11/F0 11 F0 14": hex bytes separated by blanks, make
// and break by one slash. False for anything else.
bool PgwParseKeyCodes(const char* text, PgwKeyCodes* codes);
// Replaces one entry of the run's key map; keys out of range are ignored.
void PgwMapKey(int key, const PgwKeyCodes& codes);
// What PgwRequest would answer without doing it: a host's own failures come
// after the checks of code and buffers.
PgwResult PgwCheckRequest(uint32_t code, const void* in, uint32_t inSize, const void* out, uint32_t outSize);
// One request with method-buffered buffers: `in` and `out` may be the same
// memory, the input is read whole before the reply is written. A wrong code
// or buffer size changes nothing.
PgwResult PgwRequest(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize, uint32_t* returned);
PgwRunState PgwGetRunState();
