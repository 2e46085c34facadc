// The panel driver model over many cycles, reached through the driver requests.
#include "driver/panel_driver.h"
#include "sim/panel_driver_model.h"
#include "sim/pgw/pgw_core.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;
using Records = std::vector<Bytes>;

constexpr int ShiftKey = 53, NumLockKey = 56, CapsLockKey = 57, ScrollLockKey = 58, PauseKey = 64,
              CtrlAltDelKey = 127;

const Bytes MakeA = {0x1C}, BreakA = {0xF0, 0x1C};
const Bytes MakeUp = {0xE0, 0x75}, BreakUp = {0xE0, 0xF0, 0x75};

// The keys held in one cycle and the records it must give.
struct Step {
    std::vector<int> held;
    Records records;
};

class DriverModel : public ::testing::Test {
protected:
    kpltest::TempDir dir;
    kpltest::ScopedEnv registry{"KPL_REGISTRY", dir.File("machine.reg")};
    KeyReply reply{};

    void SetUp() override { ASSERT_TRUE(OpenPanelDriver()); }
    void TearDown() override
    {
        ClosePanelDriver();
        FailPanelDriverRequests(0, 0);
    }

    void Reopen(const std::string& registryText)
    {
        ClosePanelDriver();
        kpltest::WriteFile(dir.File("machine.reg"), "Windows Registry Editor Version 5.00\r\n\r\n" + registryText);
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

    int Led(int led) const { return (reply.LedBlock[led / 4] >> (2 * (led % 4))) & 3; }
    // LEDs 0 to 4 as digits, the rest checked to be off.
    std::string Leds() const
    {
        std::string states;
        for (int led = 0; led < 5; ++led)
            states += static_cast<char>('0' + Led(led));
        for (int led = 5; led < 128; ++led)
            if (Led(led) != 0)
                return states + " and LED " + std::to_string(led);
        return states;
    }
};

TEST_F(DriverModel, OneOpenAtATimeAndBadRequestsRefused)
{
    HANDLE second = CreateFileA("\\\\.\\PGW", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ClosePanelDriver();
    HANDLE device = CreateFileA("\\\\.\\PGW", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    BYTE in[32] = {}, out[sizeof(KeyReply) + 4] = {};
    const struct {
        DWORD code;
        DWORD inSize, outSize;
        DWORD error;
    } cases[] = {
        {0x52010, 20, sizeof(KeyReply), ERROR_INVALID_FUNCTION},
        {IOCTL_PGW_TRANSLATE_KEYS, 19, sizeof(KeyReply), ERROR_INVALID_PARAMETER},
        {IOCTL_PGW_SET_LOCK_STATES, 8, 0, ERROR_INVALID_PARAMETER},
        {IOCTL_PGW_TRANSLATE_KEYS, 20, sizeof(KeyReply), ERROR_SUCCESS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.code << " " << std::dec << c.inSize << "/" << c.outSize);
        DWORD returned = 99;
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(DeviceIoControl(device, c.code, in, c.inSize, out, c.outSize, &returned, nullptr),
                  c.error == ERROR_SUCCESS);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(returned, c.error == ERROR_SUCCESS ? sizeof(KeyReply) : 0u);
    }
    CloseHandle(device);
    EXPECT_EQ(CreateFileA("\\\\.\\PGX", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(DriverModel, FailedRequestsChangeNothing)
{
    FailPanelDriverRequests(ERROR_GEN_FAILURE, 2);
    KeyRequest request{};
    request.KeyMatrix[0] = 1;
    EXPECT_FALSE(TranslateKeys(&request, &reply));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_FALSE(SetLockStates(LockCapsLock));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(Cycle({0}), Records{MakeA});  // the press is still new
    EXPECT_EQ(Leds(), "00010");             // and CapsLock still off
}

TEST_F(DriverModel, BreaksComeBeforeMakesInKeyOrder)
{
    Run({
        {{7, 0, ShiftKey}, {MakeA, {0x33}, {0x12}}}, {{7, 0, ShiftKey}, {}},
        {{59, 1, ShiftKey}, {BreakA, {0xF0, 0x33}, {0x32}, MakeUp}},
        {{}, {{0xF0, 0x32}, {0xF0, 0x12}, BreakUp}},
        {{65, 100, 126}, {}},  // keys without codes
        {{}, {}},
        // Multi-event keys come whole, in one record each way.
        {{PauseKey}, {{0xE1, 0x14, 0x77, 0xE1, 0xF0, 0x14, 0xF0, 0x77}}}, {{}, {}},
        {{CtrlAltDelKey}, {{0x14, 0x11, 0xE0, 0x71}}},
        {{}, {{0xE0, 0xF0, 0x71, 0xF0, 0x11, 0xF0, 0x14}}},
    });
}

TEST_F(DriverModel, HeldKeyRepeatsAfterTheDelayAndThenEveryInterval)
{
    const struct {
        WORD delay;
        WORD interval;
        std::set<int> repeatCycles;  // cycles after the press that repeat the make
    } cases[] = {
        {3, 2, {3, 5, 7, 9, 11, 13, 15, 17, 19}},
        {2, 0, {2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20}},
        {0, 0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20}},
        {30, 1, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.delay << "/" << c.interval);
        Reopen("");
        ASSERT_TRUE(SetRepeatCycles(c.delay, c.interval));
        EXPECT_EQ(Cycle({59}), Records{MakeUp});
        EXPECT_EQ(Leds(), "00010");
        std::set<int> repeated;
        for (int cycle = 1; cycle <= 20; ++cycle) {
            const Records records = Cycle({59});
            if (!records.empty()) {
                EXPECT_EQ(records, Records{MakeUp}) << cycle;
                repeated.insert(cycle);
            }
            // Fast blink from the first repeat on.
            EXPECT_EQ(Led(4), !c.repeatCycles.empty() && cycle >= *c.repeatCycles.begin() ? 2 : 0) << cycle;
        }
        EXPECT_EQ(repeated, c.repeatCycles);
        EXPECT_EQ(Cycle({}), Records{BreakUp});
        EXPECT_EQ(Leds(), "00000");
    }
}

TEST_F(DriverModel, OnlyTheNewestSingleEventKeyRepeats)
{
    ASSERT_TRUE(SetRepeatCycles(2, 1));
    Run({
        {{0}, {MakeA}}, {{0}, {}}, {{0}, {MakeA}},
        // A new key takes the repeat over, with a delay of its own.
        {{0, 59}, {MakeUp}}, {{0, 59}, {}}, {{0, 59}, {MakeUp}},
        // Released, it hands the repeat back to the key still held, delay first.
        {{0}, {BreakUp}}, {{0}, {}}, {{0}, {MakeA}},
        // The older key's release leaves the newer one repeating.
        {{0, 1}, {{0x32}}}, {{1}, {BreakA}}, {{1}, {{0x32}}}, {{}, {{0xF0, 0x32}}},
        // Keys of more than one event never repeat, nor blink.
        {{PauseKey}, {{0xE1, 0x14, 0x77, 0xE1, 0xF0, 0x14, 0xF0, 0x77}}}, {{PauseKey}, {}}, {{PauseKey}, {}},
        {{CtrlAltDelKey}, {{0x14, 0x11, 0xE0, 0x71}}}, {{CtrlAltDelKey}, {}}, {{CtrlAltDelKey}, {}},
    });
    EXPECT_EQ(Leds(), "00010");
}

TEST_F(DriverModel, LockLedsFollowTheLockStatesAndTheLockKeys)
{
    ASSERT_TRUE(SetRepeatCycles(1, 0));
    EXPECT_EQ((Cycle({}), Leds()), "00000");
    ASSERT_TRUE(SetLockStates(LockNumLock | LockScrollLock | 0xF0));
    EXPECT_EQ((Cycle({}), Leds()), "30300");
    Cycle({CapsLockKey});
    EXPECT_EQ(Leds(), "33310");
    // Repeats of a held lock key toggle nothing.
    for (int cycle = 0; cycle < 5; ++cycle)
        EXPECT_EQ(Cycle({CapsLockKey}), Records{{0x58}});
    EXPECT_EQ(Leds(), "33312");
    Cycle({});
    EXPECT_EQ(Leds(), "33300");
    Cycle({NumLockKey, ScrollLockKey, CapsLockKey});
    EXPECT_EQ(Leds(), "00010");
}

TEST_F(DriverModel, CommunicationFailureReleasesEveryKeyAndForgetsTheMatrix)
{
    ASSERT_TRUE(SetRepeatCycles(1, 0));
    Cycle({0, ShiftKey, 59});
    Cycle({0, ShiftKey, 59});
    EXPECT_EQ(Leds(), "00012");
    EXPECT_EQ(Cycle({0, ShiftKey, 59}, 1), (Records{BreakA, {0xF0, 0x12}, BreakUp}));
    EXPECT_EQ(Leds(), "00000");
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
    const auto codes = [](int count) {
        std::string text;
        for (int i = 0; i < count; ++i)
            text += "11 ";
        return text + "/";
    };
    const struct {
        std::string text;
        bool valid;
        Bytes make, brk;
    } cases[] = {
        {"E0 75/E0 F0 75", true, MakeUp, BreakUp},
        {"  e0\t 6b /e0 f0 6b  ", true, {0xE0, 0x6B}, {0xE0, 0xF0, 0x6B}},
        {"/", true, {}, {}},
        {"5/F0 5", true, {0x05}, {0xF0, 0x05}},
        {codes(22), true, Bytes(22, 0x11), {}},
        {codes(23), false, {}, {}},
        {"1C", false, {}, {}},
        {"1C/F0 1C/F0 1C", false, {}, {}},
        {"zz/F0 21", false, {}, {}},
        {"01C/F0 1C", false, {}, {}},
        {"1C,/F0 1C", false, {}, {}},
        {"1C/F0 1C\r\n", false, {}, {}},
        {"1C/F01C ", false, {}, {}},
        {"", false, {}, {}},
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

// A kernel driver's buffered request has one buffer for both ways.
TEST(DriverCore, ReplyMayOverwriteTheRequest)
{
    PgwStartRun();
    const struct {
        DWORD code;
        std::vector<BYTE> input;
        Bytes record;
        int numLockLed;
    } steps[] = {
        {PgwSetLockStates, {0x01, 0, 0, 0}, {}, -1},
        {PgwTranslateKeys, {0, 0, 0, 0, 0x01}, MakeA, 3},
        {PgwSetRepeatCycles, {0x01, 0, 0x01, 0}, {}, -1},
        {PgwTranslateKeys, {0, 0, 0, 0, 0x01}, MakeA, 3},
        {PgwTranslateKeys, {1, 0, 0, 0, 0x01}, BreakA, 3},
    };
    for (const auto& step : steps) {
        alignas(4) BYTE buffer[sizeof(KeyReply)] = {};
        std::copy(step.input.begin(), step.input.end(), buffer);
        const uint32_t outSize = step.code == PgwTranslateKeys ? sizeof(KeyReply) : 0;
        uint32_t returned = 99;
        ASSERT_EQ(PgwRequest(step.code, buffer, static_cast<uint32_t>(step.code == PgwTranslateKeys ? 20 : 4), buffer,
                             outSize, &returned),
                  PgwDone);
        EXPECT_EQ(returned, outSize);
        if (outSize == 0)
            continue;
        const auto* reply = reinterpret_cast<const KeyReply*>(buffer);
        EXPECT_EQ(Bytes(reply->Records[0].Codes, reply->Records[0].Codes + reply->Records[0].Length), step.record);
        EXPECT_EQ(reply->LedBlock[0] & 3, step.numLockLed);
    }
}

}  // namespace
