// What the main thread and the key output thread share, and how a stop
// request reaches the main thread.
#include "link/link.h"
#include "polling/polling.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

namespace {

class Exchange : public ::testing::Test {
protected:
    void SetUp() override
    {
        InitCommMonitor(3);
        InitializeCriticalSection(&ExchangeLock);
        std::memset(KeyMatrix, 0, sizeof KeyMatrix);
        std::memset(LedBlock, 0, sizeof LedBlock);
        std::memset(BlinkPatterns, 0, sizeof BlinkPatterns);
        LedBlinkMode = 0;
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);  // this thread's queue
        MainThreadId = GetCurrentThreadId();
        Drain();
    }
    void TearDown() override
    {
        MainThreadId = 0;
        DeleteCriticalSection(&ExchangeLock);
        DeleteCommMonitor();
    }
    // Messages waiting in this thread's queue, by id.
    static int Drain(UINT id = WM_LED_STATES_CHANGED)
    {
        int count = 0;
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
            count += message.message == id;
        return count;
    }
};

TEST_F(Exchange, LedBlockIsAnnouncedOnlyWhenItChanges)
{
    BYTE block[32] = {};
    EXPECT_TRUE(SetLedBlock(block, sizeof block));
    EXPECT_EQ(Drain(), 0);

    block[31] = 0x40;
    EXPECT_TRUE(SetLedBlock(block, sizeof block));
    EXPECT_EQ(LedBlock[31], 0x40);
    EXPECT_EQ(Drain(), 1);

    EXPECT_TRUE(SetLedBlock(block, 0));
    EXPECT_EQ(Drain(), 0);

    // A longer buffer is cut to the block; a shorter one compared over its length.
    BYTE longer[40];
    std::memset(longer, 0xFF, sizeof longer);
    EXPECT_TRUE(SetLedBlock(longer, sizeof longer));
    EXPECT_EQ(Drain(), 1);
    EXPECT_EQ(LedBlock[31], 0xFF);
    BYTE shorter[2] = {0, 0};
    EXPECT_TRUE(SetLedBlock(shorter, sizeof shorter));
    EXPECT_EQ(LedBlock[0], 0);
    EXPECT_EQ(LedBlock[2], 0xFF);
}

TEST_F(Exchange, KeyMatrixCopyIsClamped)
{
    for (int i = 0; i < 16; ++i)
        KeyMatrix[i] = static_cast<BYTE>(i + 1);
    BYTE destination[100];
    std::memset(destination, 0xEE, sizeof destination);
    EXPECT_TRUE(GetKeyMatrix(destination, 8));
    EXPECT_EQ(destination[7], 8);
    EXPECT_EQ(destination[8], 0xEE);
    EXPECT_TRUE(GetKeyMatrix(destination, sizeof destination));
    EXPECT_EQ(destination[15], 16);
    EXPECT_EQ(destination[16], 0xEE);
}

TEST_F(Exchange, BlinkModeRendersStatesIntoFourPhases)
{
    LedBlinkMode = 1;
    BYTE block[32] = {0x1B};  // LED 0 on, LED 1 fast, LED 2 slow, LED 3 off
    block[31] = 0xC0;         // LED 127 on
    EXPECT_TRUE(SetLedBlock(block, sizeof block));
    const BYTE first[4] = {0x07, 0x05, 0x03, 0x01};
    for (int phase = 0; phase < 4; ++phase) {
        EXPECT_EQ(BlinkPatterns[phase][0], first[phase]) << phase;
        EXPECT_EQ(BlinkPatterns[phase][15], 0x80) << phase;
        for (int b = 1; b < 15; ++b)
            EXPECT_EQ(BlinkPatterns[phase][b], 0) << phase << " " << b;
    }
    EXPECT_EQ(Drain(), 0);  // blink mode announces nothing: every tick sends
    EXPECT_EQ(LedBlock[0], 0);

    block[0] = 0;
    EXPECT_TRUE(SetLedBlock(block, sizeof block));
    for (int phase = 0; phase < 4; ++phase)
        EXPECT_EQ(BlinkPatterns[phase][0], 0) << phase;
}

TEST_F(Exchange, LedStatesAndTheirBits)
{
    BYTE block[32] = {};
    block[1] = 0x08;  // LED 5 fast blink
    EXPECT_EQ(GetLedState(block, 5), 2);
    EXPECT_EQ(GetLedState(block, 4), 0);
    SetLedState(9, 3);
    for (int phase = 0; phase < 4; ++phase)
        EXPECT_EQ(BlinkPatterns[phase][1], 0x02);
    SetLedState(9, 7);  // not a state: nothing changes
    EXPECT_EQ(BlinkPatterns[2][1], 0x02);
}

TEST_F(Exchange, FailedLinkRefusesBothWaysAndKeepsTheCopies)
{
    KeyMatrix[0] = 0x55;
    for (int i = 0; i < 4; ++i)
        SetCommResult(ERROR_CRC);
    BYTE destination[16] = {};
    SetLastError(0);
    EXPECT_FALSE(GetKeyMatrix(destination, sizeof destination));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CRC));
    EXPECT_EQ(destination[0], 0);
    BYTE block[32] = {3};
    SetLastError(0);
    EXPECT_FALSE(SetLedBlock(block, sizeof block));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CRC));
    EXPECT_EQ(LedBlock[0], 0);
    EXPECT_EQ(Drain(), 0);

    SetCommResult(0);
    EXPECT_TRUE(GetKeyMatrix(destination, sizeof destination));
    EXPECT_EQ(destination[0], 0x55);
}

TEST(BlinkTiming, PhasesOfTheFirstFourteenTicks)
{
    BlinkTick = 0;
    BlinkPhase = 0;
    std::vector<DWORD> phases;
    for (int tick = 1; tick <= 25; ++tick)
        phases.push_back(AdvanceBlinkPhase());
    std::vector<DWORD> expected = {0, 0, 0, 0, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(phases, expected);
}

TEST_F(Exchange, OnlyTheFirstStopRequestPosts)
{
    RequestStop();
    RequestStop();
    EXPECT_EQ(MainThreadId.load(), 0u);
    EXPECT_EQ(Drain(WM_QUIT), 1);
    RequestStop();  // before start-up has published a thread: dropped
    EXPECT_EQ(Drain(WM_QUIT), 0);
}

}  // namespace
