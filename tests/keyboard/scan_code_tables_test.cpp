// The translation tables checked by their properties and against the key
// positions of the AT keyboard, not re-typed.
#include "keyboard/keyboard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

HKL Layout(ULONG_PTR value)
{
    return reinterpret_cast<HKL>(value);
}

class WithLayout : public ::testing::Test {
protected:
    void TearDown() override { FocusLayout = 0; }
};

// One key of the standard keyboard: its set-2 code, its set-1 code and its
// virtual key under the US layout, as keyboard references list them.
struct KnownKey {
    const char* name;
    BYTE set2;
    BYTE set1;
    BYTE usKey;
};

const KnownKey KnownKeys[] = {
    {"A", 0x1C, 0x1E, 'A'}, {"B", 0x32, 0x30, 'B'}, {"C", 0x21, 0x2E, 'C'}, {"D", 0x23, 0x20, 'D'},
    {"E", 0x24, 0x12, 'E'}, {"F", 0x2B, 0x21, 'F'}, {"G", 0x34, 0x22, 'G'}, {"H", 0x33, 0x23, 'H'},
    {"I", 0x43, 0x17, 'I'}, {"J", 0x3B, 0x24, 'J'}, {"K", 0x42, 0x25, 'K'}, {"L", 0x4B, 0x26, 'L'},
    {"M", 0x3A, 0x32, 'M'}, {"N", 0x31, 0x31, 'N'}, {"O", 0x44, 0x18, 'O'}, {"P", 0x4D, 0x19, 'P'},
    {"Q", 0x15, 0x10, 'Q'}, {"R", 0x2D, 0x13, 'R'}, {"S", 0x1B, 0x1F, 'S'}, {"T", 0x2C, 0x14, 'T'},
    {"U", 0x3C, 0x16, 'U'}, {"V", 0x2A, 0x2F, 'V'}, {"W", 0x1D, 0x11, 'W'}, {"X", 0x22, 0x2D, 'X'},
    {"Y", 0x35, 0x15, 'Y'}, {"Z", 0x1A, 0x2C, 'Z'},
    {"1", 0x16, 0x02, '1'}, {"2", 0x1E, 0x03, '2'}, {"3", 0x26, 0x04, '3'}, {"4", 0x25, 0x05, '4'},
    {"5", 0x2E, 0x06, '5'}, {"6", 0x36, 0x07, '6'}, {"7", 0x3D, 0x08, '7'}, {"8", 0x3E, 0x09, '8'},
    {"9", 0x46, 0x0A, '9'}, {"0", 0x45, 0x0B, '0'},
    {"F1", 0x05, 0x3B, 0x70}, {"F2", 0x06, 0x3C, 0x71}, {"F3", 0x04, 0x3D, 0x72}, {"F4", 0x0C, 0x3E, 0x73},
    {"F5", 0x03, 0x3F, 0x74}, {"F6", 0x0B, 0x40, 0x75}, {"F7", 0x83, 0x41, 0x76}, {"F8", 0x0A, 0x42, 0x77},
    {"F9", 0x01, 0x43, 0x78}, {"F10", 0x09, 0x44, 0x79}, {"F11", 0x78, 0x57, 0x7A}, {"F12", 0x07, 0x58, 0x7B},
    {"Escape", 0x76, 0x01, 0x1B}, {"Backquote", 0x0E, 0x29, 0xC0}, {"Minus", 0x4E, 0x0C, 0xBD},
    {"Equals", 0x55, 0x0D, 0xBB}, {"Backspace", 0x66, 0x0E, 0x08}, {"Tab", 0x0D, 0x0F, 0x09},
    {"Left bracket", 0x54, 0x1A, 0xDB}, {"Right bracket", 0x5B, 0x1B, 0xDD}, {"Backslash", 0x5D, 0x2B, 0xDC},
    {"CapsLock", 0x58, 0x3A, 0x14}, {"Semicolon", 0x4C, 0x27, 0xBA}, {"Quote", 0x52, 0x28, 0xDE},
    {"Enter", 0x5A, 0x1C, 0x0D}, {"Left shift", 0x12, 0x2A, 0xA0}, {"Comma", 0x41, 0x33, 0xBC},
    {"Period", 0x49, 0x34, 0xBE}, {"Slash", 0x4A, 0x35, 0xBF}, {"Right shift", 0x59, 0x36, 0xA1},
    {"Left ctrl", 0x14, 0x1D, 0xA2}, {"Left alt", 0x11, 0x38, 0xA4}, {"Space", 0x29, 0x39, 0x20},
    {"102nd key", 0x61, 0x56, 0xE2}, {"NumLock", 0x77, 0x45, 0x90}, {"ScrollLock", 0x7E, 0x46, 0x91},
    {"Keypad *", 0x7C, 0x37, 0x6A}, {"Keypad -", 0x7B, 0x4A, 0x6D}, {"Keypad +", 0x79, 0x4E, 0x6B},
    {"Keypad .", 0x71, 0x53, 0x6E}, {"Keypad 0", 0x70, 0x52, 0x60}, {"Keypad 1", 0x69, 0x4F, 0x61},
    {"Keypad 2", 0x72, 0x50, 0x62}, {"Keypad 3", 0x7A, 0x51, 0x63}, {"Keypad 4", 0x6B, 0x4B, 0x64},
    {"Keypad 5", 0x73, 0x4C, 0x65}, {"Keypad 6", 0x74, 0x4D, 0x66}, {"Keypad 7", 0x6C, 0x47, 0x67},
    {"Keypad 8", 0x75, 0x48, 0x68}, {"Keypad 9", 0x7D, 0x49, 0x69}, {"SysRq", 0x84, 0x54, 0x2C},
};

// Extended keys: the byte after E0 and the set-1 byte after E0.
const KnownKey KnownExtendedKeys[] = {
    {"Right ctrl", 0x14, 0x1D, 0xA3}, {"Right alt", 0x11, 0x38, 0xA5}, {"Insert", 0x70, 0x52, 0x2D},
    {"Delete", 0x71, 0x53, 0x2E},     {"Home", 0x6C, 0x47, 0x24},      {"End", 0x69, 0x4F, 0x23},
    {"Page up", 0x7D, 0x49, 0x21},    {"Page down", 0x7A, 0x51, 0x22}, {"Up", 0x75, 0x48, 0x26},
    {"Down", 0x72, 0x50, 0x28},       {"Left", 0x6B, 0x4B, 0x25},      {"Right", 0x74, 0x4D, 0x27},
    {"Keypad /", 0x4A, 0x35, 0x6F},   {"Keypad Enter", 0x5A, 0x1C, 0x0D}, {"Left Windows", 0x1F, 0x5B, 0x5B},
    {"Right Windows", 0x27, 0x5C, 0x5C}, {"Menu", 0x2F, 0x5D, 0x5D},    {"Print screen", 0x7C, 0x37, 0x2C},
};

TEST_F(WithLayout, KnownKeysTranslateToTheirSetOneCodeAndUsVirtualKey)
{
    for (const KnownKey& key : KnownKeys) {
        SCOPED_TRACE(key.name);
        EXPECT_EQ(Set2ToSet1[key.set2], key.set1);
        EXPECT_EQ(LookupVirtualKey(key.set2), key.usKey);
    }
    for (const KnownKey& key : KnownExtendedKeys) {
        SCOPED_TRACE(key.name);
        EXPECT_EQ(Set2ToSet1[key.set2], key.set1);
        EXPECT_EQ(LookupVirtualKey(0xE000u + key.set2), key.usKey);
    }
    EXPECT_EQ(LookupVirtualKey(0xE11477), VK_PAUSE);
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
        SCOPED_TRACE(code);
        const BYTE expected = code == 0x83 ? 0x41 : code == 0x84 ? 0x54 : static_cast<BYTE>(code);
        EXPECT_EQ(Set2ToSet1[code], expected);
    }
}

TEST(TableSets, HaveTheSameRangesInBothSets)
{
    const DWORD firsts[] = {0x01, 0xE010, 0xE11477};
    const DWORD lasts[] = {0x84, 0xE07E, 0xE11477};
    for (int group = 0; group < ScanCodeGroups; ++group) {
        SCOPED_TRACE(group);
        EXPECT_EQ(DefaultTableSet[group].First, firsts[group]);
        EXPECT_EQ(DefaultTableSet[group].Last, lasts[group]);
        EXPECT_EQ(GermanTableSet[group].First, firsts[group]);
        EXPECT_EQ(GermanTableSet[group].Last, lasts[group]);
        EXPECT_EQ(DefaultTableSet[group].Base, GermanTableSet[group].Base);
        // The base is the group's code with a zero last byte.
        EXPECT_EQ(DefaultTableSet[group].Base, firsts[group] & ~0xFFu);
    }
}

std::vector<BYTE> Entries(const ScanCodeRange& range)
{
    return std::vector<BYTE>(range.Table, range.Table + (range.Last - range.First + 1));
}

TEST(TableSets, GermanPlainTableRearrangesTenKeysOfTheDefault)
{
    const std::vector<BYTE> us = Entries(DefaultTableSet[0]);
    const std::vector<BYTE> german = Entries(GermanTableSet[0]);
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

TEST(TableSets, ExtendedAndPauseEntriesAreEqualInBothSets)
{
    for (int group = 1; group < ScanCodeGroups; ++group)
        EXPECT_EQ(Entries(DefaultTableSet[group]), Entries(GermanTableSet[group])) << "group " << group;
}

TEST(TableSets, EveryVirtualKeyHasANameUnlessItIsKnownToHaveNone)
{
    auto unnamedByDesign = [](BYTE key) {
        return (key >= '0' && key <= '9') || (key >= 'A' && key <= 'Z') || key == 0xC1 || key == 0xC2 ||
               (key >= 0xA6 && key <= 0xB7);  // browser, volume, media and launch keys
    };
    for (const ScanCodeRange* set : {DefaultTableSet, GermanTableSet})
        for (int group = 0; group < ScanCodeGroups; ++group)
            for (BYTE key : Entries(set[group])) {
                if (key != 0 && !unnamedByDesign(key)) {
                    EXPECT_STRNE(VirtualKeyName(key), "") << std::hex << int(key);
                }
            }
}

struct LayoutCase {
    ULONG_PTR layout;
    bool german;
};

TEST_F(WithLayout, GermanSetFollowsThePrimaryLanguageOfTheFocusLayout)
{
    const LayoutCase cases[] = {
        {0, false},           // never read
        {0x04090409, false},  // US
        {0x04070407, true},   // Germany
        {0x0C070C07, true},   // Austria
        {0x08070807, true},   // Switzerland
        {0xF0070407, true},   // a variant of a German layout
        {0x040C040C, false},  // France
        {0x04170417, false},  // Romansh: 0x17, not 0x07
        {0x07000700, false},  // 0x07 in the wrong byte
    };
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.layout);
        FocusLayout = Layout(c.layout);
        EXPECT_EQ(LookupVirtualKey(0x1A), c.german ? 'Y' : 'Z');
        EXPECT_EQ(LookupVirtualKey(0x35), c.german ? 'Z' : 'Y');
        EXPECT_EQ(LookupVirtualKey(0x0E), c.german ? VK_OEM_5 : VK_OEM_3);
        // Keys no layout moves.
        EXPECT_EQ(LookupVirtualKey(0x1C), 'A');
        EXPECT_EQ(LookupVirtualKey(0xE071), VK_DELETE);
        EXPECT_EQ(LookupVirtualKey(0xE11477), VK_PAUSE);
    }
}

TEST_F(WithLayout, CodesOutsideTheGroupsHaveNoVirtualKey)
{
    const DWORD codes[] = {
        0x00,       0x85,       0xFF,       0xE000,     0xE00F,     0xE012,     0xE07F,     0xE0FF,
        0xE11400,   0xE11476,   0xE11478,   0xE114FF,   0xE21C,     0x011C,     0xF01C,     0xE01477,
        0xE21477,   0xE0E071,   0x0100001C, 0xFFFFFFFF, 0xE11C,     0x00E1001C,
    };
    for (ULONG_PTR layout : {ULONG_PTR{0x04090409}, ULONG_PTR{0x04070407}}) {
        FocusLayout = Layout(layout);
        for (DWORD code : codes)
            EXPECT_EQ(LookupVirtualKey(code), 0) << std::hex << code;
    }
}

TEST(VirtualKeyNames, FirstNameWinsAndUnnamedKeysAreEmpty)
{
    const struct {
        BYTE key;
        const char* name;
    } cases[] = {
        {0x15, "VK_KANA"},   {0x19, "VK_HANJA"},     {0x92, "VK_OEM_NEC_EQUAL"}, {0x41, ""},
        {0x30, ""},          {0x00, ""},             {0xC1, ""},                 {0x07, ""},
        {0xFF, ""},          {0x60, "VK_NUMPAD0"},   {0x69, "VK_NUMPAD9"},       {0x70, "VK_F1"},
        {0x87, "VK_F24"},    {0xFE, "VK_OEM_CLEAR"}, {0x2E, "VK_DELETE"},        {0xA0, "VK_LSHIFT"},
        {0x13, "VK_PAUSE"},  {0x5F, "VK_SLEEP"},     {0xDF, "VK_OEM_8"},         {0xE2, "VK_OEM_102"},
    };
    for (const auto& c : cases)
        EXPECT_STREQ(VirtualKeyName(c.key), c.name) << std::hex << int(c.key);
}

TEST(VirtualKeyNames, NameEveryListedKeyOnceAndNothingElse)
{
    // 139 names, four of which share a key with an earlier one.
    int named = 0;
    for (int key = 0; key < 256; ++key) {
        const char* name = VirtualKeyName(static_cast<BYTE>(key));
        ASSERT_NE(name, nullptr);
        if (*name != '\0') {
            ++named;
            EXPECT_EQ(std::strncmp(name, "VK_", 3), 0) << name;
        }
    }
    EXPECT_EQ(named, 135);
}

}  // namespace
