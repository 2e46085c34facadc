#include "polling/exchange.h"

#include "link/link.h"

#include <cstring>

CRITICAL_SECTION ExchangeLock;
BYTE KeyMatrix[16];
BYTE LedBlock[32];
BYTE BlinkPatterns[4][16];
DWORD LedBlinkMode;
std::atomic<DWORD> MainThreadId{0};

namespace {

// The block the blink patterns were last rendered from: the idle tick's
// block is the same each time and leaves the patterns as they are.
BYTE RenderedBlock[sizeof LedBlock];
DWORD RenderedLength;  // 0 once the patterns changed otherwise

// Phases in which an LED of each state is lit: bit p stands for phase p.
constexpr BYTE LitPhases[LedOn + 1] = {0x0, 0x3, 0x5, 0xF};

// Renders the first `leds` LEDs of a block into the blink patterns, eight
// LEDs to a pattern byte, keeping the bits of LEDs past them; the caller
// holds ExchangeLock.
void RenderBlockLocked(const BYTE* block, unsigned leds)
{
    for (unsigned first = 0; first < leds; first += 8) {
        BYTE mask = 0;
        BYTE lit[4] = {};
        for (unsigned led = first; led < leds && led < first + 8; ++led) {
            const BYTE bit = static_cast<BYTE>(1u << (led % 8u));
            const BYTE phases = LitPhases[GetLedState(block, led)];
            mask |= bit;
            for (unsigned phase = 0; phase < 4; ++phase)
                if (phases & (1u << phase))
                    lit[phase] |= bit;
        }
        for (unsigned phase = 0; phase < 4; ++phase) {
            BYTE& pattern = BlinkPatterns[phase][first / 8];
            pattern = static_cast<BYTE>((pattern & ~mask) | lit[phase]);
        }
    }
}

bool LinkAvailable()
{
    DWORD lastError = 0;
    if (!QueryCommError(&lastError))
        return true;
    SetLastError(lastError);
    return false;
}

}  // namespace

bool GetKeyMatrix(BYTE* destination, DWORD length)
{
    if (!LinkAvailable())
        return false;
    DWORD n = length < sizeof KeyMatrix ? length : sizeof KeyMatrix;
    EnterCriticalSection(&ExchangeLock);
    std::memcpy(destination, KeyMatrix, n);
    LeaveCriticalSection(&ExchangeLock);
    return true;
}

bool SetLedBlock(const BYTE* source, DWORD length)
{
    if (!LinkAvailable())
        return false;
    DWORD n = length < sizeof LedBlock ? length : sizeof LedBlock;
    if (LedBlinkMode) {
        EnterCriticalSection(&ExchangeLock);
        if (n != RenderedLength || std::memcmp(RenderedBlock, source, n) != 0) {
            RenderBlockLocked(source, 4 * n);
            std::memcpy(RenderedBlock, source, n);
            RenderedLength = n;
        }
        LeaveCriticalSection(&ExchangeLock);
        return true;
    }
    EnterCriticalSection(&ExchangeLock);
    bool changed = std::memcmp(LedBlock, source, n) != 0;
    if (changed)
        std::memcpy(LedBlock, source, n);
    LeaveCriticalSection(&ExchangeLock);
    if (changed)
        PostThreadMessageA(MainThreadId.load(), WM_LED_STATES_CHANGED, 0, 0);
    return true;
}

void ResetExchange()
{
    std::memset(KeyMatrix, 0, sizeof KeyMatrix);
    std::memset(BlinkPatterns, 0, sizeof BlinkPatterns);
    std::memset(LedBlock, 0, sizeof LedBlock);
    RenderedLength = 0;
}

BYTE GetLedState(const BYTE* block, unsigned led)
{
    return static_cast<BYTE>((block[led / 4] >> (2 * (led % 4))) & 3);
}

void RequestStop()
{
    // Exchange, not load-and-clear: two stop requests racing from the
    // dispatcher and the console post one quit between them.
    DWORD thread = MainThreadId.exchange(0);
    if (thread == 0)
        return;
    // The main thread may be waiting for a byte with a long time-out.
    AbortReads();
    PostThreadMessageA(thread, WM_QUIT, 0, 0);
}
