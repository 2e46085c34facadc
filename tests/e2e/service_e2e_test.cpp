// The service from end to end: keys pressed on the simulated Keypanel come
// out of the key journal, LEDs go back to the panel, faults give their events.
#include "tests/e2e/service_fixture.h"

#include "platform/win32.h"

#include <algorithm>
#include <csignal>

namespace {

using kplsim::RequestKind;
using kpltest::KeyEvent;
using kpltest::ServiceTest;
using std::chrono::milliseconds;

constexpr int KeyA = 0, KeyE = 4, KeyH = 7, KeyL = 11, KeyO = 14, KeyY = 24, KeyZ = 25;
constexpr int KeyShift = 53, KeyNumLock = 56;

const char* Started = "The Keypanel Service has started successfully.";
const char* Stopped = "The Keypanel Service has stopped successfully.";

class Typing : public ServiceTest, public ::testing::WithParamInterface<std::pair<const char*, const char*>> {};

TEST_P(Typing, KeysBecomeKeystrokesOfTheFocusLayout)
{
    WriteRegistry(std::string("[HKEY_CURRENT_USER\\Keyboard Layout\\Preload]\r\n\"1\"=\"") + GetParam().first +
                  "\"\r\n");
    StartService();
    ASSERT_TRUE(WaitForOutput(Started)) << Output();
    Type({KeyH, KeyE, KeyL, KeyL, KeyO, KeyY, KeyZ}, 0);
    ASSERT_TRUE(WaitForKeyEvents(16)) << Output();
    StopService();
    EXPECT_EQ(TypedText(), GetParam().second);
    // Every key that went down came up.
    auto events = Journal();
    for (unsigned vk = 0; vk < 256; ++vk) {
        auto downs = std::count_if(events.begin(), events.end(), [&](const KeyEvent& e) { return e.vk == vk && !e.up(); });
        auto ups = std::count_if(events.begin(), events.end(), [&](const KeyEvent& e) { return e.vk == vk && e.up(); });
        EXPECT_EQ(downs, ups) << std::hex << vk;
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, Typing,
                         ::testing::Values(std::make_pair("00000409", "Helloyz"), std::make_pair("00000407", "Hellozy")));

TEST_F(ServiceTest, HeldKeyRepeatsAtTheSystemRateAndIsReleasedOnce)
{
    StartService();
    ASSERT_TRUE(WaitForOutput(Started)) << Output();
    model.Press(KeyA);
    // Delay 0 and speed 31: 250 ms, then every 40 ms.
    ASSERT_TRUE(kpltest::WaitUntil(
        [&] {
            auto events = Journal();
            return std::count_if(events.begin(), events.end(), [](const KeyEvent& e) { return !e.up(); }) >= 8;
        },
        milliseconds(10000)));
    model.Release(KeyA);
    ASSERT_TRUE(kpltest::WaitUntil([&] { return !Journal().empty() && Journal().back().up(); }, milliseconds(5000)));
    ASSERT_TRUE(WaitForPolls(4));
    StopService();
    auto events = Journal();
    ASSERT_FALSE(events.empty());
    EXPECT_TRUE(std::all_of(events.begin(), events.end() - 1, [](const KeyEvent& e) { return e.vk == 0x41 && !e.up(); }));
    EXPECT_EQ(events.back().vk, 0x41u);
    EXPECT_TRUE(events.back().up());
    EXPECT_NE(Output().find("Auto-repeat changed: delay = 250 ms, speed = 40 ms\n"), std::string::npos);
}

class ModernController : public ServiceTest {
public:
    ModernController() : ServiceTest(kplsim::Identity{0x02, 0x00, "TKP20KEY", 64, 64}) {}
};

TEST_F(ModernController, WithoutServiceBlinkingLedsGoAsBlocks)
{
    WriteRegistry("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KPL]\r\n\"DoLedBlinking\"=dword:00000000\r\n");
    StartService();
    ASSERT_TRUE(WaitForOutput(Started)) << Output();
    Type({KeyNumLock});
    ASSERT_TRUE(kpltest::WaitUntil([&] { return (model.LastLedBlock()[0] & 3) == 3; }, milliseconds(5000)));
    StopService();
    EXPECT_EQ(model.Requests(RequestKind::Status), 0u);
    EXPECT_GT(model.Requests(RequestKind::Keys), 0u);
    EXPECT_GE(model.Requests(RequestKind::Leds), 2u);  // the change, and all off at the stop
    EXPECT_EQ(model.LastLedBlock(), kplsim::LedBlock{});
    EXPECT_GE(Count("LED states changed"), 1u);
}

TEST_F(ModernController, ServiceBlinkingOnRequestSendsOnlyPatterns)
{
    StartService();  // DoLedBlinking defaults to 1
    ASSERT_TRUE(WaitForOutput(Started)) << Output();
    ASSERT_TRUE(WaitForPolls(10));
    StopService();
    EXPECT_EQ(model.Requests(RequestKind::Keys), 0u);
    EXPECT_EQ(model.Requests(RequestKind::Leds), 0u);
    EXPECT_GE(model.Requests(RequestKind::Status), 10u);
}

TEST_F(ServiceTest, OldControllerAlwaysBlinksInServiceFourPhasesOf250ms)
{
    WriteRegistry("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KPL]\r\n\"DoLedBlinking\"=dword:00000000\r\n");
    StartService();
    ASSERT_TRUE(WaitForOutput(Started)) << Output();
    // While a key is held the driver shows LED 3 as slow blink, and LED 4 as
    // fast blink once the key repeats.
    model.Press(KeyA);
    ASSERT_TRUE(WaitForPolls(120, 20000));
    model.Release(KeyA);
    ASSERT_TRUE(WaitForPolls(3));
    StopService();
    EXPECT_EQ(model.Requests(RequestKind::Keys), 0u);
    EXPECT_EQ(model.Requests(RequestKind::Leds), 0u);

    // Runs of lit and dark ticks of an LED in the STATUS patterns.
    auto runs = [&](int led) {
        std::vector<std::pair<bool, int>> result;
        for (const auto& r : Requests()) {
            if (r.kind != RequestKind::Status || r.payload.size() != 16)
                continue;
            bool lit = (r.payload[led / 8] >> (led % 8)) & 1;
            if (result.empty() || result.back().first != lit)
                result.push_back({lit, 0});
            ++result.back().second;
        }
        return result;
    };
    // Steady runs: slow blink 500 ms on and off (10 ticks), fast 250 ms (5 ticks).
    for (auto [led, ticks] : {std::pair{3, 10}, std::pair{4, 5}}) {
        auto r = runs(led);
        ASSERT_GE(r.size(), 6u) << "LED " << led;
        for (std::size_t i = 2; i + 2 < r.size(); ++i)
            EXPECT_EQ(r[i].second, ticks) << "LED " << led << " run " << i;
    }
    // The last pattern switches everything off.
    auto requests = Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().kind, RequestKind::Status);
    EXPECT_EQ(requests.back().payload, std::vector<std::uint8_t>(16, 0));
}

TEST_F(ServiceTest, StartUpFailuresEndTheRunWithTheirEvent)
{
    struct Case {
        const char* name;
        std::string registry;
        std::function<void()> arrange;
        const char* event;
    };
    HANDLE busy = INVALID_HANDLE_VALUE;
    kpltest::ScopedEnv testRegistry("KPL_REGISTRY", RegistryPath());
    const std::string fast = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KPL]\r\n"
                             "\"ErrorRetries\"=dword:00000001\r\n\"ResponseTimeout\"=dword:000000c8\r\n\r\n";
    Case cases[] = {
        {"no panel driver", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost\\Pgw]\r\n\"Present\"=dword:00000000\r\n", [] {},
         "Open of Panel Gateway failed: The system cannot find the file specified. Check the status"},
        {"port busy", "",
         [&] {
             busy = CreateFileA("COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
             ASSERT_NE(busy, INVALID_HANDLE_VALUE);
         },
         "Open of Keypanel port COM3 failed: Access is denied. Check if port"},
        {"silent Keypanel", fast, [&] { model.Silence(kplsim::AlwaysCount); },
         "Keypanel not present. The Keypanel Service will not be started."},
        {"garbage answers", fast, [&] { model.WrongId(0x55, kplsim::AlwaysCount); },
         "Keypanel communication failed. Velkor keys and LEDs cannot be handled."},
        {"bad port settings", "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KPL]\r\n\"ByteSize\"=dword:00000009\r\n",
         [] {}, "Config Keypanel port COM3 failed: The parameter is incorrect."},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        model.ClearFaults();
        WriteRegistry(c.registry);
        c.arrange();
        StartService();
        EXPECT_EQ(WaitForExit(), 0);
        EXPECT_NE(Output().find(c.event), std::string::npos) << Output();
        EXPECT_EQ(Output().find(Started), std::string::npos);
        EXPECT_NE(Output().find("Close PGW device"), std::string::npos);
        if (busy != INVALID_HANDLE_VALUE) {
            CloseHandle(busy);
            busy = INVALID_HANDLE_VALUE;
        }
    }
    // A silent Keypanel is asked ErrorRetries + 1 times, each a time-out, none logged.
    model.ClearFaults();
    WriteRegistry(fast);
    model.Silence(kplsim::AlwaysCount);
    StartService();
    WaitForExit();
    EXPECT_EQ(Count("Write identify request"), 2u);
    EXPECT_EQ(Count("Read IDENTIFY response"), 0u);
    // Wrong answers are each logged with the id as data.
    model.ClearFaults();
    model.WrongId(0x55, kplsim::AlwaysCount);
    StartService();
    WaitForExit();
    EXPECT_EQ(Count("Unexpected Keypanel response received"), 2u);
}

TEST_F(ServiceTest, StopDuringTheHandshakeStillEndsCleanly)
{
    WriteRegistry("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KPL]\r\n\"ResponseTimeout\"=dword:00000bb8\r\n");
    model.SetReplyDelay(800);
    StartService();
    ASSERT_TRUE(WaitForOutput("Read identify response")) << Output();
    service->Signal(SIGINT);
    int status = -1;
    ASSERT_TRUE(service->Wait(milliseconds(15000), &status)) << Output();
    EXPECT_EQ(status, 0);
    std::string out = Output();
    // The queued stop is taken as the loop's first message.
    EXPECT_LT(out.find("Stopping Keypanel Service."), out.find(Started));
    EXPECT_LT(out.find(Started), out.find(Stopped));
}

TEST_F(ServiceTest, StrayBytesRaiseTheMonitorAndAGoodFrameClearsIt)
{
    StartService();
    ASSERT_TRUE(WaitForOutput(Started)) << Output();
    // Stray bytes, then frames that fail their checksum: the link is held as
    // failed until a good frame comes.
    model.SendGarbage({0x41, 0x42, 0x43, 0x44, 0x45});
    model.BadChecksum(4);
    ASSERT_TRUE(WaitForOutput("Read key matrix failed: Data error (cyclic redundancy check).")) << Output();
    EXPECT_GE(Count("Communication error: 13 (0000000dh)"), 4u);
    EXPECT_NE(Output().find("Invalid STX: 41h instead of 02h"), std::string::npos);
    model.ClearFaults();
    ASSERT_TRUE(WaitForPolls(3));
    Type({KeyA});
    ASSERT_TRUE(WaitForKeyEvents(2));
    StopService();
    EXPECT_EQ(TypedText(), "a");
}

TEST_F(ServiceTest, UnexpectedIdentifyAnswerKeepsTheMatrix)
{
    StartService();
    ASSERT_TRUE(WaitForOutput(Started)) << Output();
    model.Press(KeyA);
    ASSERT_TRUE(WaitForKeyEvents(1));
    model.WrongId(0x90, 1);
    ASSERT_TRUE(WaitForOutput("Unexpected Keypanel response received (the response ID is the event data).")) << Output();
    ASSERT_TRUE(WaitForPolls(3));
    model.Release(KeyA);
    ASSERT_TRUE(kpltest::WaitUntil([&] { return Journal().back().up(); }, milliseconds(5000)));
    StopService();
    auto events = Journal();
    // Held throughout: one key-up, at the end.
    EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const KeyEvent& e) { return e.up(); }), 1);
}

TEST_F(ServiceTest, SilentKeypanelReleasesAHeldKey)
{
    WriteRegistry("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KPL]\r\n\"ResponseTimeout\"=dword:000000c8\r\n");
    StartService();
    ASSERT_TRUE(WaitForOutput(Started)) << Output();
    model.Press(KeyA);
    ASSERT_TRUE(WaitForKeyEvents(3));  // down and repeats
    model.Silence(kplsim::AlwaysCount);
    ASSERT_TRUE(kpltest::WaitUntil([&] { return Journal().back().up(); }, milliseconds(5000))) << Output();
    std::size_t released = Journal().size();
    ASSERT_TRUE(WaitForOutput("Read STATUS response from Keypanel failed: This operation returned because the timeout period expired."));
    // No repeat of a key nobody holds.
    ASSERT_TRUE(WaitForPolls(4));
    EXPECT_EQ(Journal().size(), released);
    // The Keypanel answers again: the key is down again, as it really is.
    model.ClearFaults();
    model.Release(KeyA);
    ASSERT_TRUE(WaitForPolls(2));
    Type({KeyE});
    ASSERT_TRUE(WaitForKeyEvents(released + 2));
    StopService();
    EXPECT_EQ(Journal().back().vk, 0x45u);
}

TEST_F(ServiceTest, CtrlCLeavesLedsOffAndNoKeyDown)
{
    WriteRegistry("[HKEY_CURRENT_USER\\Control Panel\\Keyboard]\r\n\"InitialKeyboardIndicators\"=\"2\"\r\n");
    StartService();
    ASSERT_TRUE(WaitForOutput(Started)) << Output();
    model.Press(KeyShift);
    model.Press(KeyA);
    ASSERT_TRUE(WaitForKeyEvents(2));
    ASSERT_TRUE(kpltest::WaitUntil([&] { return model.LastLedPattern() != kplsim::LedPattern{}; }, milliseconds(5000)));
    StopService();
    std::string out = Output();
    EXPECT_NE(out.find("Main loop end"), std::string::npos);
    EXPECT_LT(out.find("Timer loop end"), out.find(Stopped));
    EXPECT_EQ(model.LastLedPattern(), kplsim::LedPattern{});
    auto events = Journal();
    for (unsigned vk : {0xA0u, 0x41u}) {
        auto last = std::find_if(events.rbegin(), events.rend(), [&](const KeyEvent& e) { return e.vk == vk; });
        ASSERT_NE(last, events.rend()) << vk;
        EXPECT_TRUE(last->up()) << std::hex << vk;
    }
}

}  // namespace
