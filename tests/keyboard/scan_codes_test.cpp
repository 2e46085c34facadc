// Scan codes: the translation tables checked by their properties and against
// the key positions of the AT keyboard, not re-typed; records decoded into key
// events, without injecting them.
#include "keyboard/keyboard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;
using Keys = std::vector<std::string>;

const HKL Us = reinterpret_cast<HKL>(ULONG_PTR{0x04090409});
constexpr unsigned Ext = KEYEVENTF_EXTENDEDKEY;
constexpr unsigned Up = KEYEVENTF_KEYUP;

// An event as keybd_event would get it; one without a virtual key by its key code.
std::string Key(unsigned vk, unsigned scan, unsigned flags)
{
    char text[48];
    std::snprintf(text, sizeof text, "vk=%02x scan=%02x flags=%x", vk, scan, flags);
    return text;
}

std::string NoKey(unsigned keyCode)
{
    char text[24];
    std::snprintf(text, sizeof text, "no key %x", keyCode);
    return text;
}

Keys Events(const DecodedKeys& decoded)
{
    Keys keys;
    for (int i = 0; i < decoded.Count && i < MaxKeySequence; ++i) {
        const KeyEvent& e = decoded.Events[i];
        keys.push_back(e.VirtualKey != 0 ? Key(e.VirtualKey, e.Set1Code & 0xFF, e.Flags) : NoKey(e.Set2Code));
    }
    return keys;
}

Bytes Join(const Bytes& a, const Bytes& b)
{
    Bytes all = a;
    all.insert(all.end(), b.begin(), b.end());
    return all;
}

const Bytes Make = {0x14, 0x11, 0xE0, 0x71};
const Bytes Break = {0xE0, 0xF0, 0x71, 0xF0, 0x11, 0xF0, 0x14};
const std::string A = Key('A', 0x1E, 0), AUp = Key('A', 0x1E, Up), LeftCtrl = Key(VK_LCONTROL, 0x1D, 0),
                  LeftAlt = Key(VK_LMENU, 0x38, 0), Delete = Key(VK_DELETE, 0x53, Ext),
                  LeftShiftUp = Key(VK_LSHIFT, 0x2A, Up);

enum Flags { None = 0, MakeFound = 1, BreakDropped = 2, Release = 4 };

// A record, the events it decodes into and the Ctrl-Alt-Del flags; with
// Release, decoded by DecodeKeyUpSequence.
struct DecodeCase { const char* name; Bytes codes; Keys keys; int flags = None; };

TEST(KeyDecoding, EachShapeOfRecord)
{
    const DecodeCase cases[] = {
        {"pause make", {0xE1, 0x14, 0x77}, {Key(VK_PAUSE, 0x45, 0)}},
        {"pause break", {0xE1, 0xF0, 0x14, 0xF0, 0x77}, {Key(VK_PAUSE, 0x45, Up)}},
        {"print screen", {0xE0, 0x12, 0xE0, 0x7C}, {NoKey(0xE012), Key(VK_SNAPSHOT, 0x37, Ext)}},
        {"ends inside an E0 event", {0x14, 0x11, 0xE0}, {LeftCtrl, LeftAlt}}, {"ends after F0", {0x1C, 0xF0}, {A}},
        {"ends inside the E1 event", {0xE1, 0x14}, {}},
        {"codes without a virtual key", {0x00, 0x13, 0x7F, 0xE0, 0x37}, {NoKey(0), NoKey(0x13), NoKey(0x7F), NoKey(0xE037)}},
        // E0 and E1 start a new code; an earlier F0 still counts.
        {"prefix replaces what was collected", {0xF0, 0xE0, 0x71}, {Key(VK_DELETE, 0x53, Ext | Up)}},
        {"F7 and SysRq above 0x7F", {0x83, 0x84}, {Key(0x76, 0x41, 0), Key(VK_SNAPSHOT, 0x54, 0)}},
        // Ctrl-Alt-Del counts only at the start of a record.
        {"Ctrl-Alt-Del make and break", Join(Make, Break), {}, MakeFound | BreakDropped},
        {"Ctrl-Alt-Del make and more keys", Join(Make, {0x1C, 0xF0, 0x1C}), {A, AUp}, MakeFound},
        {"Ctrl, Alt and Delete in another order", {0x11, 0x14, 0xE0, 0x71}, {LeftAlt, LeftCtrl, Delete}},
        {"with the right Ctrl", {0xE0, 0x14, 0x11, 0xE0, 0x71}, {Key(VK_RCONTROL, 0x1D, Ext), LeftAlt, Delete}},
        {"Ctrl-Alt-Del make not at the start", Join({0x1C}, Make), {A, LeftCtrl, LeftAlt, Delete}},
        {"Ctrl-Alt-Del break before the make", Join(Break, Make), {LeftCtrl, LeftAlt, Delete}, BreakDropped},
        // Released keys: the key-up events only.
        {"release of a make", {0x1C}, {}, Release}, {"release of Ctrl-Alt-Del", Break, {}, Release | BreakDropped},
        {"release of shifted A", {0x12, 0x1C, 0xF0, 0x1C, 0xF0, 0x12}, {AUp, LeftShiftUp}, Release},
        // The make is not looked for: its keys are downs, the break's are released.
        {"release of Ctrl-Alt-Del make and break", Join(Make, Break),
         {Key(VK_DELETE, 0x53, Ext | Up), Key(VK_LMENU, 0x38, Up), Key(VK_LCONTROL, 0x1D, Up)}, Release},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        DecodedKeys decoded;
        const int count = static_cast<int>(c.codes.size());
        if (c.flags & Release)
            DecodeKeyUpSequence(c.codes.data(), count, Us, &decoded);
        else
            DecodeKeySequence(c.codes.data(), count, Us, &decoded);
        EXPECT_EQ(Events(decoded), c.keys);
        EXPECT_EQ(decoded.CtrlAltDelMake, (c.flags & MakeFound) != 0);
        EXPECT_EQ(decoded.CtrlAltDelBreak, (c.flags & BreakDropped) != 0);
    }
}

TEST(KeyDecoding, NeverReadsPastTheTwentyTwoCodesOfARecord)
{
    DecodedKeys decoded;
    // 21 key-up prefixes, A at the record's last byte, B just beyond it.
    BYTE memory[24];
    std::memset(memory, 0xF0, 21);
    memory[21] = 0x1C;
    memory[22] = 0x32;
    memory[23] = 0x32;
    for (int count : {24, 0x7FFF}) {
        DecodeKeySequence(memory, count, Us, &decoded);
        EXPECT_EQ(Events(decoded), Keys{AUp});
        DecodeKeyUpSequence(memory, count, Us, &decoded);
        EXPECT_EQ(Events(decoded), Keys{AUp});
    }
}

// One key of the standard keyboard as keyboard references list it: set-2
// code (the byte after E0 for extended keys), set-1 code, US virtual key.
struct KnownKey { const char* name; DWORD set2; BYTE set1; BYTE usKey; };

TEST(TableSets, AnIndependentSampleTranslatesToItsSetOneCodeAndUsVirtualKey)
{
    // The table's regions and odd corners: F7 and SysRq above 0x7F.
    const KnownKey keys[] = {
        {"A", 0x1C, 0x1E, 'A'},          {"Y", 0x35, 0x15, 'Y'},          {"Z", 0x1A, 0x2C, 'Z'},
        {"1", 0x16, 0x02, '1'},          {"F1", 0x05, 0x3B, 0x70},        {"F7", 0x83, 0x41, 0x76},
        {"F11", 0x78, 0x57, 0x7A},       {"Escape", 0x76, 0x01, 0x1B},    {"Backquote", 0x0E, 0x29, 0xC0},
        {"Left shift", 0x12, 0x2A, 0xA0}, {"102nd key", 0x61, 0x56, 0xE2}, {"Keypad 7", 0x6C, 0x47, 0x67},
        {"SysRq", 0x84, 0x54, 0x2C},     {"Right ctrl", 0xE014, 0x1D, 0xA3}, {"Delete", 0xE071, 0x53, 0x2E},
        {"Up", 0xE075, 0x48, 0x26},      {"Keypad /", 0xE04A, 0x35, 0x6F}, {"Keypad Enter", 0xE05A, 0x1C, 0x0D},
        {"Print screen", 0xE07C, 0x37, 0x2C},
    };
    for (const KnownKey& key : keys) {
        SCOPED_TRACE(key.name);
        EXPECT_EQ(Set2ToSet1[key.set2 & 0xFF], key.set1);
        EXPECT_EQ(LookupVirtualKey(key.set2, Us), key.usKey);
    }
    EXPECT_EQ(LookupVirtualKey(0xE11477, Us), VK_PAUSE);
}

TEST(SetTwoToSetOne, IsTheControllerTranslationOverAllValues)
{
    // 0x00 to 0x7F map one to one onto 0x01 to 0x7F and 0xFF.
    std::set<BYTE> low;
    for (int code = 0; code < 0x80; ++code)
        low.insert(Set2ToSet1[code]);
    EXPECT_EQ(low.size(), 128u);
    EXPECT_EQ(low.count(0), 0u);
    EXPECT_EQ(Set2ToSet1[0x00], 0xFF);
    EXPECT_EQ(Set2ToSet1[0x7F], 0x54);
    // Above 0x7F only F7 and SysRq translate; everything else, the prefixes
    // among them, is passed through.
    for (int code = 0x80; code < 0x100; ++code) {
        const BYTE expected = code == 0x83 ? 0x41 : code == 0x84 ? 0x54 : static_cast<BYTE>(code);
        EXPECT_EQ(Set2ToSet1[code], expected) << code;
    }
}

TEST(TableSets, GermanSetMovesTenPlainKeysAndNothingElse)
{
    auto entries = [](const ScanCodeRange& r) { return std::vector<BYTE>(r.Table, r.Table + (r.Last - r.First + 1)); };
    const std::vector<BYTE> us = entries(DefaultTableSet[0]);
    const std::vector<BYTE> german = entries(GermanTableSet[0]);
    ASSERT_EQ(us.size(), 132u);
    ASSERT_EQ(german.size(), us.size());
    int differences = 0;
    for (size_t i = 0; i < us.size(); ++i)
        differences += us[i] != german[i];
    EXPECT_EQ(differences, 10);
    // The German layout moves keys; it adds or drops none.
    std::vector<BYTE> a = us, b = german;
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    EXPECT_EQ(a, b);
}

TEST(TableSets, GermanSetFollowsThePrimaryLanguageOfTheLayout)
{
    const struct { ULONG_PTR layout; bool german; } cases[] = {
        {0, false},           // the focus layout never read
        {0x0C070C07, true},   // Austria
        {0xF0070407, true},   // a variant of a German layout
        {0x04170417, false},  // Romansh: 0x17, not 0x07
        {0x07000700, false},  // 0x07 in the wrong byte
    };
    for (const auto& c : cases)
        EXPECT_EQ(LookupVirtualKey(0x1A, reinterpret_cast<HKL>(c.layout)), c.german ? 'Y' : 'Z') << std::hex << c.layout;
}

}  // namespace
