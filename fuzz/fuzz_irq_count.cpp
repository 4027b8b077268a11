// Per-CPU interrupt count list: up to 64 bytes in a zeroed 65-byte buffer,
// read as sscanf's "%d," would read its first number.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "tests/rtc.h"

namespace {
constexpr size_t kWorkBytes = 64;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t count = size < kWorkBytes ? size : kWorkBytes;
    std::vector<char> text(kWorkBytes + 1, '\0');
    memcpy(text.data(), data, count);

    int32_t parsed = -1;
    bool ok = parseIrqCount(text.data(), parsed);

    // The C library's own reading of the same text is the reference.
    int scanned = 0;
    int got = sscanf(text.data(), "%d,", &scanned);
    if (got == EOF) {
        FUZZ_CHECK(ok && parsed == 0);
    } else if (got == 0) {
        FUZZ_CHECK(!ok && parsed == 0);
    } else {
        FUZZ_CHECK(ok && parsed == scanned);
    }
    return 0;
}
