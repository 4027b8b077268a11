// What one read of a serial port returned: at most 63 bytes in a zeroed
// 64-byte buffer (or a failed read), cut at the last newline and compared
// with the probe text.

#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "tests/serial.h"

namespace {
constexpr int32_t kReadBytes = 64;
constexpr const char* kProbe = "12 34 56";
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An empty input stands for a failed read (-1), which is never cut.
    int32_t n = size == 0 ? -1 : static_cast<int32_t>(size < kReadBytes - 1 ? size : kReadBytes - 1);
    std::vector<char> buffer(kReadBytes, '\0');
    if (n > 0) memcpy(buffer.data(), data, static_cast<size_t>(n));
    std::vector<char> before = buffer;

    if (n >= 0) cutAtLastNewline(buffer.data(), n);
    int32_t last = -1;
    for (int32_t i = 0; i < n; ++i) {
        if (before[static_cast<size_t>(i)] == '\n') last = i;
    }
    for (int32_t i = 0; i < kReadBytes; ++i) {
        char want = i == last ? '\0' : before[static_cast<size_t>(i)];
        FUZZ_CHECK(buffer[static_cast<size_t>(i)] == want);
    }

    bool echo = isProbeEcho(buffer.data(), n);
    FUZZ_CHECK(echo == (n >= 8 && memcmp(buffer.data(), kProbe, 8) == 0));
    return 0;
}
