// Temperature value: up to 15 bytes of sysfs text in a 16-byte buffer, a
// terminator stored after them, parsed as a base-10 integer kept to 32 bits.

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "tests/storage.h"

namespace {
constexpr size_t kReadBytes = 15;  // the caller reads one byte less than its buffer
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    size_t count = size < kReadBytes ? size : kReadBytes;
    // count bytes read plus the one the terminator goes into, which is left
    // non-zero here so that a missing terminator shows.
    std::vector<char> text(count + 1, 'x');
    memcpy(text.data(), data, count);
    int32_t value = parseTemperatureText(text.data(), count);
    FUZZ_CHECK(text[count] == '\0');

    // The parsed number, kept to its low 32 bits, is what the test compares.
    errno = 0;
    long full = strtol(text.data(), nullptr, 10);
    FUZZ_CHECK(value == static_cast<int32_t>(static_cast<uint32_t>(full)));
    return 0;
}
