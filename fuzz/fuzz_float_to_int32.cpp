// Float to int32 as the board's FCVTZS does it, for every bit pattern.

#include <cmath>
#include <cstdint>
#include <cstring>

#include "fuzz_check.h"
#include "tests/storage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < sizeof(float)) return 0;
    float value = 0.0f;
    memcpy(&value, data, sizeof value);
    int32_t result = toInt32Saturated(value);
    if (std::isnan(value)) {
        FUZZ_CHECK(result == 0);
    } else if (value >= 2147483648.0f) {
        FUZZ_CHECK(result == INT32_MAX);
    } else if (value <= -2147483648.0f) {
        FUZZ_CHECK(result == INT32_MIN);
    } else {
        // Truncation toward zero, computed in double where every such value is exact.
        FUZZ_CHECK(static_cast<double>(result) == std::trunc(static_cast<double>(value)));
    }
    return 0;
}
