// ADC scale and raw values: sysfs text of up to 16 bytes, the last one read
// taken for the newline, parsed to float and shown as a saturated int32.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "tests/storage.h"

namespace {
constexpr size_t kAttributeBytes = 16;  // the callers' read buffer
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // openAndRead never hands over an empty read; a full read fills the buffer.
    if (size == 0) return 0;
    size_t count = size < kAttributeBytes ? size : kAttributeBytes;
    // Exactly count bytes: anything read past them is caught by AddressSanitizer.
    std::vector<char> text(data, data + count);
    float value = parseAdcText(text.data(), count);
    FUZZ_CHECK(text[count - 1] == '\0');
    FUZZ_CHECK(memcmp(text.data(), data, count - 1) == 0);  // only the last byte changes

    int32_t shown = toInt32Saturated(value);
    if (std::isnan(value)) FUZZ_CHECK(shown == 0);
    // The product the ADC check forms, with the scale an ordinary board reports.
    float voltage = value * 0.000805664f;
    (void)toInt32Saturated(voltage);
    return 0;
}
