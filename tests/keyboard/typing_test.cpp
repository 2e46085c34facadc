// Keys pressed in a key matrix, translated by the panel driver model,
// injected and read back from the key journal.
#include "driver/panel_driver.h"
#include "keyboard/keyboard.h"
#include "tests/keyboard/simulated_machine.h"

#include <cstring>

namespace {

constexpr int LeftShiftKey = 53;

int LetterKey(char letter)
{
    return (letter | 0x20) - 'a';
}

class Typing : public SimulatedMachine {
protected:
    void TearDown() override
    {
        ClosePanelDriver();
        FocusLayout = 0;
        SimulatedMachine::TearDown();
    }

    // One driver cycle with these keys held; every record is injected.
    void Cycle(std::initializer_list<int> held)
    {
        KeyRequest request{};
        for (int key : held)
            request.KeyMatrix[key / 8] |= static_cast<BYTE>(1 << (key % 8));
        KeyReply reply{};
        ASSERT_TRUE(TranslateKeys(&request, &reply));
        for (const ScanCodeRecord& record : reply.Records) {
            if (record.Length == 0)
                break;
            SendKeySequence(record.Codes, record.Length);
        }
    }

    void Type(const std::string& text)
    {
        for (char c : text) {
            const bool upper = c >= 'A' && c <= 'Z';
            if (upper)
                Cycle({LeftShiftKey});
            Cycle(upper ? std::initializer_list<int>{LeftShiftKey, LetterKey(c)} : std::initializer_list<int>{LetterKey(c)});
            if (upper)
                Cycle({LeftShiftKey});
            Cycle({});
        }
    }

    std::vector<unsigned> ScanCodes() const
    {
        std::vector<unsigned> codes;
        for (const std::string& line : Journal()) {
            const size_t at = line.find("scan=");
            if (at != std::string::npos)
                codes.push_back(static_cast<unsigned>(std::stoul(line.substr(at + 5, 2), nullptr, 16)));
        }
        return codes;
    }

    // What an application would read from the journal's key-down events.
    std::string Text() const
    {
        std::string text;
        bool shift = false;
        for (const std::string& line : Journal()) {
            unsigned vk = 0, scan = 0, flags = 0;
            char desktop[32];
            if (std::sscanf(line.c_str(), "keybd_event desktop=%31s vk=%x scan=%x flags=%x", desktop, &vk, &scan,
                            &flags) != 4)
                continue;
            const bool down = !(flags & KEYEVENTF_KEYUP);
            if (vk == VK_LSHIFT)
                shift = down;
            else if (down && vk >= 'A' && vk <= 'Z')
                text += static_cast<char>(shift ? vk : vk | 0x20);
        }
        return text;
    }
};

TEST_F(Typing, HelloUnderUsAndGermanLayoutsSwapsYAndZ)
{
    const struct {
        const char* preload;
        const char* expected;
    } layouts[] = {{"00000409", "Hello yz"}, {"00000407", "Hello zy"}};
    std::vector<std::vector<unsigned>> scanCodes;
    for (const auto& layout : layouts) {
        SCOPED_TRACE(layout.preload);
        Configure(std::string("[HKEY_CURRENT_USER\\Keyboard Layout\\Preload]\r\n\"1\"=\"") + layout.preload +
                  "\"\r\n");
        ASSERT_TRUE(OpenPanelDriver());
        // As the key output thread does after an idle tick.
        FocusLayout = GetKeyboardLayout(0);
        Type("Hello");
        Cycle({40});  // space
        Cycle({});
        Type("yz");
        ClosePanelDriver();

        std::string text = Text();
        // The space bar is no letter: put it back for a readable comparison.
        EXPECT_EQ(text.substr(0, 5) + " " + text.substr(5), layout.expected);
        EXPECT_EQ(Journal().size(), 18u);
        scanCodes.push_back(ScanCodes());
        EXPECT_EQ(KeyDowns()[6], static_cast<unsigned>(VK_SPACE));
    }
    // Both layouts inject the same scan codes: only the virtual keys move.
    ASSERT_EQ(scanCodes.size(), 2u);
    EXPECT_EQ(scanCodes[0], scanCodes[1]);
}

}  // namespace
