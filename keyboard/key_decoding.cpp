// Scan-code records from the panel driver split into key events, each with
// its set-1 scan code and virtual key; Ctrl-Alt-Del found at a record's start.
#include "keyboard/keyboard.h"

#include <cstring>

namespace {

const BYTE CtrlAltDelMake[4] = {0x14, 0x11, 0xE0, 0x71};
const BYTE CtrlAltDelBreak[7] = {0xE0, 0xF0, 0x71, 0xF0, 0x11, 0xF0, 0x14};

bool StartsWith(const BYTE* codes, int count, const BYTE* sequence, int length)
{
    return count >= length && std::memcmp(codes, sequence, static_cast<size_t>(length)) == 0;
}

// A record holds no more than this; a larger Length must not read past it.
int RecordLength(int count)
{
    return count > MaxKeySequence ? MaxKeySequence : count;
}

void Start(DecodedKeys* keys)
{
    keys->CtrlAltDelMake = false;
    keys->CtrlAltDelBreak = false;
    keys->Count = 0;
}

// Splits a run of set-2 bytes into key events; the E1 prefix carries one
// more code byte before the event is complete.
void SplitKeyEvents(const BYTE* codes, int count, HKL layout, bool keyUpOnly, DecodedKeys* keys)
{
    DWORD set2Code = 0;
    DWORD set1Code = 0;
    DWORD flags = 0;
    bool e1Pending = false;
    for (int i = 0; i < count; ++i) {
        const BYTE b = codes[i];
        if (b == 0xE0) {
            flags |= KEYEVENTF_EXTENDEDKEY;
            set2Code = 0xE0;
            set1Code = Set2ToSet1[0xE0];
            continue;
        }
        if (b == 0xE1) {
            // Pause is not an extended key: its prefix leaves the flags alone.
            set2Code = 0xE1;
            set1Code = Set2ToSet1[0xE1];
            e1Pending = true;
            continue;
        }
        if (b == 0xF0) {
            flags |= KEYEVENTF_KEYUP;
            continue;
        }
        set2Code = set2Code * 256 + b;
        set1Code = set1Code * 256 + Set2ToSet1[b];
        if (e1Pending) {
            e1Pending = false;
            continue;
        }
        if (!keyUpOnly || (flags & KEYEVENTF_KEYUP))
            keys->Events[keys->Count++] = {set2Code, set1Code, flags, LookupVirtualKey(set2Code, layout)};
        set2Code = 0;
        set1Code = 0;
        flags = 0;
    }
}

}  // namespace

void DecodeKeySequence(const BYTE* codes, int count, HKL layout, DecodedKeys* keys)
{
    Start(keys);
    count = RecordLength(count);
    if (StartsWith(codes, count, CtrlAltDelMake, sizeof CtrlAltDelMake)) {
        codes += sizeof CtrlAltDelMake;
        count -= sizeof CtrlAltDelMake;
        keys->CtrlAltDelMake = true;
    }
    if (StartsWith(codes, count, CtrlAltDelBreak, sizeof CtrlAltDelBreak)) {
        codes += sizeof CtrlAltDelBreak;
        count -= sizeof CtrlAltDelBreak;
        keys->CtrlAltDelBreak = true;
    }
    SplitKeyEvents(codes, count, layout, false, keys);
}

void DecodeKeyUpSequence(const BYTE* codes, int count, HKL layout, DecodedKeys* keys)
{
    Start(keys);
    count = RecordLength(count);
    // The Ctrl-Alt-Del key never reached Windows as keys: nothing to release.
    if (StartsWith(codes, count, CtrlAltDelBreak, sizeof CtrlAltDelBreak)) {
        codes += sizeof CtrlAltDelBreak;
        count -= sizeof CtrlAltDelBreak;
        keys->CtrlAltDelBreak = true;
    }
    SplitKeyEvents(codes, count, layout, true, keys);
}
