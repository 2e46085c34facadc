// The panel driver core's rules the scenarios cannot show: keys of several
// events, a failed link. Key map entries are keymap.scn's.
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

    void SetUp() override
    {
        dir.WriteRegistry({});
        ASSERT_TRUE(OpenPanelDriver());
    }
    void TearDown() override { ClosePanelDriver(); }

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

}  // namespace
