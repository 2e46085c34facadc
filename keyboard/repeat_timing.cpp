#include "driver/panel_driver.h"
#include "keyboard/keyboard.h"
#include "service/log.h"

DWORD LastKeyboardDelay = 0xFFFFFFFF;
DWORD LastKeyboardSpeed = 0xFFFFFFFF;
DWORD UseStdKeyboardSpeed;
DWORD UseOptKeyCycleTime;

namespace {

struct SpeedRow {
    DWORD lastSpeed;       // the row covers speeds up to this value
    DWORD interval;        // ms
    DWORD cycleTime;       // ms
    DWORD shortestDelay;   // what a 250 ms delay becomes at this cycle time
};

// Each interval is a whole multiple of its cycle time or within 3 ms above
// one, so the driver's cycles repeat at the rate the system asks for.
constexpr SpeedRow SpeedTable[] = {
    {1, 500, 50, 250},  {2, 333, 55, 275},  {3, 250, 50, 250},  {4, 200, 50, 250},
    {5, 166, 83, 250},  {6, 142, 71, 250},  {7, 125, 62, 250},  {8, 111, 55, 275},
    {9, 100, 50, 250},  {12, 90, 90, 270},  {14, 83, 83, 250},  {16, 71, 71, 250},
    {19, 62, 62, 250},  {25, 50, 50, 250},  {0xFFFFFFFF, 40, 40, 250},
};

}  // namespace

void UpdateRepeatTiming(UINT_PTR* timerId, DWORD* cycleTime)
{
    bool changed = false;
    DWORD delay = 0;
    DWORD speed = 31;
    DWORD value = 0;

    if (SystemParametersInfoA(SPI_GETKEYBOARDDELAY, 0, &value, 0)) {
        delay = value;
        if (value != LastKeyboardDelay) {
            LastKeyboardDelay = value;
            changed = true;
        }
    } else {
        LogError(MSG_GET_KEY_REPEAT_FAILED, GetLastError(), nullptr);
    }
    if (SystemParametersInfoA(SPI_GETKEYBOARDSPEED, 0, &value, 0)) {
        speed = value;
        if (value != LastKeyboardSpeed) {
            LastKeyboardSpeed = value;
            changed = true;
        }
    } else {
        LogError(MSG_GET_KEY_REPEAT_FAILED, GetLastError(), nullptr);
    }
    // A thread without its timer yet must get one whatever the settings did,
    // or it never ticks: the first call of a run always goes on.
    if (!changed && *cycleTime != 0xFFFFFFFF)
        return;

    if (delay > 3)
        delay = 3;
    DWORD repeatDelay = (delay * 5 + 5) * 50;
    DWORD repeatInterval;
    DWORD cycle;
    if (UseStdKeyboardSpeed) {
        if (speed > 31)
            speed = 31;
        repeatInterval = 400 - 12 * speed;
        cycle = 10;
    } else {
        const SpeedRow* row = SpeedTable;
        while (speed > row->lastSpeed)
            ++row;
        repeatInterval = row->interval;
        cycle = row->cycleTime;
        if (repeatDelay == 250)
            repeatDelay = row->shortestDelay;
    }
    DebugTrace("Auto-repeat changed: delay = %d ms, speed = %d ms\n", static_cast<int>(repeatDelay),
               static_cast<int>(repeatInterval));
    if (UseOptKeyCycleTime)
        cycle = 50;

    if (cycle != *cycleTime) {
        *cycleTime = cycle;
        DebugTrace("New cycle time: %d ms\n", static_cast<int>(cycle));
        if (*timerId != 0 && !KillTimer(nullptr, *timerId))
            LogError(MSG_SET_TIMER_FAILED, GetLastError(), nullptr);
        *timerId = SetTimer(nullptr, 0, cycle, nullptr);
        if (*timerId == 0)
            LogError(MSG_SET_TIMER_FAILED, GetLastError(), nullptr);
    }
    if (!SetRepeatCycles(static_cast<WORD>(repeatDelay / cycle), static_cast<WORD>(repeatInterval / cycle)))
        LogError(MSG_SET_KEY_REPEAT_FAILED, GetLastError(), nullptr);
}
