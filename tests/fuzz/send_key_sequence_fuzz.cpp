// The decoding of scan-code records with any record bytes, any count and any
// layout: no crash, no read past the record, no more events than code bytes.
// The record lives alone on the heap so that a read past its end is caught.
#include "driver/panel_driver.h"
#include "keyboard/keyboard.h"
#include "tests/fuzz/check.h"

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
    const HKL layout = reinterpret_cast<HKL>(static_cast<ULONG_PTR>(data[4]) << 16);
    data += 5;
    size -= 5;

    auto record = std::make_unique<ScanCodeRecord>();
    record->Length = static_cast<WORD>(count);
    std::memcpy(record->Codes, data, size < sizeof record->Codes ? size : sizeof record->Codes);
    const int bytes = count < 0 ? 0 : count > MaxKeySequence ? MaxKeySequence : count;
    DecodedKeys keys;
    DecodeKeySequence(record->Codes, count, layout, &keys);
    Check(keys.Count >= 0 && keys.Count <= bytes);
    DecodeKeyUpSequence(record->Codes, count, layout, &keys);
    Check(keys.Count >= 0 && keys.Count <= bytes);
    return 0;
}
