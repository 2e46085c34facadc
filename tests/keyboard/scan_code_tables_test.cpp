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

const HKL Us = Layout(0x04090409);

// One key of the standard keyboard: its set-2 code, its set-1 code and its
// virtual key under the US layout, as keyboard references list them.
struct KnownKey {
    const char* name;
    BYTE set2;
    BYTE set1;
    BYTE usKey;
};

// A sample over the table's regions and its odd corners (F7 and SysRq
// above 0x7F); the properties below cover the rest.
const KnownKey KnownKeys[] = {
    {"A", 0x1C, 0x1E, 'A'},          {"Y", 0x35, 0x15, 'Y'},          {"Z", 0x1A, 0x2C, 'Z'},
    {"1", 0x16, 0x02, '1'},          {"F1", 0x05, 0x3B, 0x70},        {"F7", 0x83, 0x41, 0x76},
    {"F11", 0x78, 0x57, 0x7A},       {"Escape", 0x76, 0x01, 0x1B},    {"Backquote", 0x0E, 0x29, 0xC0},
    {"Left shift", 0x12, 0x2A, 0xA0}, {"102nd key", 0x61, 0x56, 0xE2}, {"Keypad 7", 0x6C, 0x47, 0x67},
    {"SysRq", 0x84, 0x54, 0x2C},
};

// Extended keys: the byte after E0 and the set-1 byte after E0.
const KnownKey KnownExtendedKeys[] = {
    {"Right ctrl", 0x14, 0x1D, 0xA3}, {"Delete", 0x71, 0x53, 0x2E},       {"Up", 0x75, 0x48, 0x26},
    {"Keypad /", 0x4A, 0x35, 0x6F},   {"Keypad Enter", 0x5A, 0x1C, 0x0D}, {"Print screen", 0x7C, 0x37, 0x2C},
};

TEST(TableSets, KnownKeysTranslateToTheirSetOneCodeAndUsVirtualKey)
{
    for (const KnownKey& key : KnownKeys) {
        SCOPED_TRACE(key.name);
        EXPECT_EQ(Set2ToSet1[key.set2], key.set1);
        EXPECT_EQ(LookupVirtualKey(key.set2, Us), key.usKey);
    }
    for (const KnownKey& key : KnownExtendedKeys) {
        SCOPED_TRACE(key.name);
        EXPECT_EQ(Set2ToSet1[key.set2], key.set1);
        EXPECT_EQ(LookupVirtualKey(0xE000u + key.set2, Us), key.usKey);
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

TEST(TableSets, GermanSetFollowsThePrimaryLanguageOfTheLayout)
{
    const LayoutCase cases[] = {
        {0, false},           // the focus layout never read
        {0x04090409, false},  // US
        {0x0C070C07, true},   // Austria
        {0xF0070407, true},   // a variant of a German layout
        {0x04170417, false},  // Romansh: 0x17, not 0x07
        {0x07000700, false},  // 0x07 in the wrong byte
    };
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.layout);
        const HKL layout = Layout(c.layout);
        EXPECT_EQ(LookupVirtualKey(0x1A, layout), c.german ? 'Y' : 'Z');
        EXPECT_EQ(LookupVirtualKey(0x35, layout), c.german ? 'Z' : 'Y');
        EXPECT_EQ(LookupVirtualKey(0x0E, layout), c.german ? VK_OEM_5 : VK_OEM_3);
        EXPECT_EQ(LookupVirtualKey(0xE071, layout), VK_DELETE);  // no layout moves it
    }
}

TEST(TableSets, CodesOutsideTheGroupsHaveNoVirtualKey)
{
    // Just past each group's ends, and codes with stray upper bytes.
    const DWORD codes[] = {0x00, 0x85, 0xE00F, 0xE012, 0xE07F, 0xE11476, 0xE11478, 0xE21C, 0xF01C, 0xE0E071, 0x0100001C};
    for (HKL layout : {Us, Layout(0x04070407)})
        for (DWORD code : codes)
            EXPECT_EQ(LookupVirtualKey(code, layout), 0) << std::hex << code;
}

TEST(VirtualKeyNames, FirstNameWinsAndUnnamedKeysAreEmpty)
{
    const struct {
        BYTE key;
        const char* name;
    } cases[] = {
        {0x15, "VK_KANA"}, {0x19, "VK_HANJA"},   {0x92, "VK_OEM_NEC_EQUAL"}, {0x41, ""},
        {0x00, ""},        {0xFF, ""},           {0x87, "VK_F24"},           {0xFE, "VK_OEM_CLEAR"},
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
