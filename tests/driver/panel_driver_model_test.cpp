// The panel driver core's rules the scenarios cannot show: key map values,
// keys of several events, a failed link.
#include "driver/panel_driver.h"
#include "sim/pgw/pgw_core.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;
using Records = std::vector<Bytes>;

constexpr int ShiftKey = 53, PauseKey = 64, CtrlAltDelKey = 127;

const Bytes MakeA = {0x1C}, BreakA = {0xF0, 0x1C};
const Bytes MakeUp = {0xE0, 0x75}, BreakUp = {0xE0, 0xF0, 0x75};

// The keys held in one cycle and the records it must give.
struct Step { std::vector<int> held; Records records; };

class DriverModel : public ::testing::Test {
protected:
    kpltest::TempMachine dir;
    KeyReply reply{};

    void SetUp() override { ASSERT_TRUE(OpenPanelDriver()); }
    void TearDown() override { ClosePanelDriver(); }

    void Reopen(const std::string& registryText)
    {
        ClosePanelDriver();
        dir.WriteRegistry({}, {}, registryText);
        ASSERT_TRUE(OpenPanelDriver());
    }

    Records Cycle(const std::vector<int>& held, DWORD commFailed = 0)
    {
        KeyRequest request{};
        request.CommFailed = commFailed;
        for (int key : held)
            request.KeyMatrix[key / 8] |= static_cast<BYTE>(1 << (key % 8));
        reply.Records[0].Length = 0;
        EXPECT_TRUE(TranslateKeys(&request, &reply));
        Records records;
        for (const ScanCodeRecord& record : reply.Records) {
            if (record.Length == 0)
                break;
            records.emplace_back(record.Codes, record.Codes + record.Length);
        }
        return records;
    }

    void Run(const std::vector<Step>& steps)
    {
        for (std::size_t i = 0; i < steps.size(); ++i)
            EXPECT_EQ(Cycle(steps[i].held), steps[i].records) << "cycle " << i;
    }

    // LED 3 is slow blink while a key is held, LED 4 fast blink while one repeats.
    int Led(int led) const { return (reply.LedBlock[led / 4] >> (2 * (led % 4))) & 3; }
};

TEST_F(DriverModel, KeysOfMoreThanOneEventNeverRepeat)
{
    ASSERT_TRUE(SetRepeatCycles(0, 0));
    Run({
        {{0}, {MakeA}}, {{0}, {MakeA}}, {{}, {BreakA}},
        {{PauseKey}, {{0xE1, 0x14, 0x77, 0xE1, 0xF0, 0x14, 0xF0, 0x77}}}, {{PauseKey}, {}}, {{PauseKey}, {}}, {{}, {}},
        {{CtrlAltDelKey}, {{0x14, 0x11, 0xE0, 0x71}}}, {{CtrlAltDelKey}, {}}, {{CtrlAltDelKey}, {}},
    });
    EXPECT_EQ(Led(4), 0) << "nor blink as repeating";
}

TEST_F(DriverModel, ReleasesComeFirstAndTheLatestPressRepeats)
{
    constexpr int UpKey = 59;
    const Bytes MakeShift = {0x12}, BreakShift = {0xF0, 0x12};
    ASSERT_TRUE(SetRepeatCycles(0, 0));
    Run({
        {{UpKey}, {MakeUp}}, {{UpKey}, {MakeUp}},
        // The latest press repeats, wherever it is in the matrix; a new one waits its delay.
        {{0, UpKey}, {MakeA}}, {{0, UpKey}, {MakeA}},
        {{0, ShiftKey, UpKey}, {MakeShift}}, {{0, ShiftKey, UpKey}, {MakeShift}},
        // An older key left holding starts its delay anew.
        {{0}, {BreakShift, BreakUp}}, {{0}, {MakeA}},
        {{UpKey}, {BreakA, MakeUp}}, {{0}, {BreakUp, MakeA}},
    });
}

TEST_F(DriverModel, CommunicationFailureReleasesEveryKeyAndForgetsTheMatrix)
{
    ASSERT_TRUE(SetRepeatCycles(1, 0));
    Cycle({0, ShiftKey, 59});
    Cycle({0, ShiftKey, 59});
    EXPECT_EQ(Led(3) * 10 + Led(4), 12);
    EXPECT_EQ(Cycle({0, ShiftKey, 59}, 1), (Records{BreakA, {0xF0, 0x12}, BreakUp}));
    EXPECT_EQ(Led(3) * 10 + Led(4), 0);
    EXPECT_EQ(Cycle({0, ShiftKey, 59}, 1), Records{});
    // The keys still down count as pressed anew.
    EXPECT_EQ(Cycle({0, ShiftKey, 59}), (Records{MakeA, {0x12}, MakeUp}));
}

TEST_F(DriverModel, RegistryKeyMapReplacesEntries)
{
    // A malformed entry or one of another type leaves the default in place.
    Reopen("[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost\\Pgw\\KeyMap]\r\n"
           "\"0\"=\"E0 75/E0 F0 75\"\r\n"
           "\"2\"=\"zz/F0 21\"\r\n"
           "\"100\"=\"e0 6b/e0 f0 6b\"\r\n"
           "\"127\"=dword:00000001\r\n");
    Run({
        {{0, 2, 100, 127}, {MakeUp, {0x21}, {0xE0, 0x6B}, {0x14, 0x11, 0xE0, 0x71}}},
        {{}, {BreakUp, {0xF0, 0x21}, {0xE0, 0xF0, 0x6B}, {0xE0, 0xF0, 0x71, 0xF0, 0x11, 0xF0, 0x14}}},
    });
}

TEST(DriverCore, KeyMapValues)
{
    std::string elevens;  // 22 codes, as many as a record holds
    for (int i = 0; i < 22; ++i)
        elevens += "11 ";
    const struct { std::string text; bool valid; Bytes make = {}, brk = {}; } cases[] = {
        {"E0 75/E0 F0 75", true, MakeUp, BreakUp},
        {"  e0\t 6b /e0 f0 6b  ", true, {0xE0, 0x6B}, {0xE0, 0xF0, 0x6B}},
        {"/", true},
        {"5/F0 5", true, {0x05}, {0xF0, 0x05}},
        {elevens + "/", true, Bytes(22, 0x11)},
        {elevens + "11 /", false}, {"1C", false}, {"1C/F0 1C/F0 1C", false}, {"zz/F0 21", false},
        {"01C/F0 1C", false}, {"1C,/F0 1C", false}, {"1C/F0 1C\r\n", false}, {"1C/F01C ", false}, {"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        PgwKeyCodes parsed{};
        ASSERT_EQ(PgwParseKeyCodes(c.text.c_str(), &parsed), c.valid);
        if (c.valid) {
            EXPECT_EQ(Bytes(parsed.Make.Codes, parsed.Make.Codes + parsed.Make.Length), c.make);
            EXPECT_EQ(Bytes(parsed.Break.Codes, parsed.Break.Codes + parsed.Break.Length), c.brk);
        }
    }
}

}  // namespace
