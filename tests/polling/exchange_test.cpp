// What the main thread and the key output thread share: the LED block
// rendered into the blink phases.
#include "link/link.h"
#include "polling/polling.h"

#include <gtest/gtest.h>

namespace {

class Exchange : public ::testing::Test {
protected:
    void SetUp() override
    {
        InitCommMonitor(3);
        InitializeCriticalSection(&ExchangeLock);
        ResetExchange();
        LedBlinkMode = 0;
    }
    void TearDown() override
    {
        LedBlinkMode = 0;
        DeleteCriticalSection(&ExchangeLock);
        DeleteCommMonitor();
    }
};

TEST_F(Exchange, BlinkModeRendersEachStateIntoTheFourPhases)
{
    LedBlinkMode = 1;
    // LEDs 0 to 3 on, fast blink, slow blink, off; LED 127 on. Slow blink is
    // lit in phases 0 and 1, fast blink in phases 0 and 2.
    BYTE block[32] = {0x1B};
    block[31] = 0xC0;
    const BYTE firstByte[4] = {0x07, 0x05, 0x03, 0x01};
    for (BYTE first : {BYTE{0x1B}, BYTE{0x00}}) {
        block[0] = first;
        EXPECT_TRUE(SetLedBlock(block, sizeof block));
        for (int phase = 0; phase < 4; ++phase) {
            EXPECT_EQ(BlinkPatterns[phase][0], first ? firstByte[phase] : 0) << phase;
            EXPECT_EQ(BlinkPatterns[phase][15], 0x80) << phase;
            for (int b = 1; b < 15; ++b)
                EXPECT_EQ(BlinkPatterns[phase][b], 0) << phase << " " << b;
        }
    }
    EXPECT_EQ(LedBlock[0], 0) << "blink mode keeps no LED block";
    // An unchanged block is rendered again once a new run emptied the patterns.
    ResetExchange();
    EXPECT_TRUE(SetLedBlock(block, sizeof block));
    EXPECT_EQ(BlinkPatterns[3][15], 0x80);
}

}  // namespace
