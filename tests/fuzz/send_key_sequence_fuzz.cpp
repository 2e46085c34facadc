// SendKeySequence with any record bytes and any count: no crash, no read
// past the record. The record lives alone on the heap so that a read past
// its end is caught.
#include "driver/panel_driver.h"
#include "keyboard/keyboard.h"

#include <cstdint>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 5)
        return 0;
    int32_t count;
    std::memcpy(&count, data, sizeof count);
    // The layout byte chooses the table set.
    FocusLayout = reinterpret_cast<HKL>(static_cast<ULONG_PTR>(data[4]) << 16);
    data += 5;
    size -= 5;

    auto record = std::make_unique<ScanCodeRecord>();
    record->Length = static_cast<WORD>(count);
    std::memcpy(record->Codes, data, size < sizeof record->Codes ? size : sizeof record->Codes);
    SendKeySequence(record->Codes, count);
    return 0;
}
