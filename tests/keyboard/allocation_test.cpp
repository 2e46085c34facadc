// A key output tick allocates nothing: the driver request, the lookup, the
// injection and the journal run on fixed buffers.
#include "driver/panel_driver.h"
#include "keyboard/keyboard.h"
#include "tests/keyboard/simulated_machine.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {
thread_local long Allocations = 0;
}

void* operator new(std::size_t size)
{
    ++Allocations;
    if (void* memory = std::malloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}

void operator delete(void* memory) noexcept
{
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept
{
    std::free(memory);
}

namespace {

class Allocation : public SimulatedMachine {
protected:
    void TearDown() override
    {
        ClosePanelDriver();
        SimulatedMachine::TearDown();
    }
};

TEST_F(Allocation, KeyOutputPathAllocatesNothing)
{
    ASSERT_TRUE(OpenPanelDriver());
    ASSERT_TRUE(SetRepeatCycles(2, 0));
    KeyRequest request{};
    KeyReply reply{};
    auto tick = [&](int key) {
        std::memset(request.KeyMatrix, 0, sizeof request.KeyMatrix);
        if (key >= 0)
            request.KeyMatrix[key / 8] = static_cast<BYTE>(1 << (key % 8));
        if (!TranslateKeys(&request, &reply))
            return false;
        for (const ScanCodeRecord& record : reply.Records) {
            if (record.Length == 0)
                break;
            SendKeySequence(record.Codes, record.Length);
        }
        return true;
    };
    // The first key event opens the journal and reads the settings.
    ASSERT_TRUE(tick(0));
    ASSERT_TRUE(tick(-1));

    const long before = Allocations;
    for (int cycle = 0; cycle < 200; ++cycle)
        ASSERT_TRUE(tick(cycle % 20 < 15 ? cycle / 20 % 64 : -1));
    const BYTE ctrlAltDel[] = {0x14, 0x11, 0xE0, 0x71};
    SendKeySequence(ctrlAltDel, sizeof ctrlAltDel);
    EXPECT_EQ(LookupVirtualKey(0xE11477), VK_PAUSE);
    EXPECT_EQ(Allocations, before);
    EXPECT_GT(Journal().size(), 100u);
}

}  // namespace
