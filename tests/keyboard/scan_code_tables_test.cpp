// The translation tables checked by their properties and against the key
// positions of the AT keyboard, not re-typed.
#include "keyboard/keyboard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

namespace {

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
    const HKL us = reinterpret_cast<HKL>(ULONG_PTR{0x04090409});
    for (const KnownKey& key : keys) {
        SCOPED_TRACE(key.name);
        EXPECT_EQ(Set2ToSet1[key.set2 & 0xFF], key.set1);
        EXPECT_EQ(LookupVirtualKey(key.set2, us), key.usKey);
    }
    EXPECT_EQ(LookupVirtualKey(0xE11477, us), VK_PAUSE);
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
    for (int group = 1; group < ScanCodeGroups; ++group)
        EXPECT_EQ(entries(DefaultTableSet[group]), entries(GermanTableSet[group])) << "group " << group;
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
