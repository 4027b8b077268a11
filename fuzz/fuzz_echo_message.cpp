// Echo test message check: a received buffer of any size against the
// expected fill byte and a message length of any value.
// Input: 4 bytes expected value, 4 bytes length, then the buffer.

#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "fuzz_check.h"

int checkMessage(std::span<const unsigned char> buffer, int32_t expected, int32_t length);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8) return 0;
    int32_t expected = 0;
    int32_t length = 0;
    memcpy(&expected, data, 4);
    memcpy(&length, data + 4, 4);
    // Lengths mostly near the buffer's size, so both sides of it are reached.
    length = length % 64;
    // Its own allocation of exactly the received bytes, so a read past them is caught.
    std::vector<unsigned char> buffer(data + 8, data + size);
    int result = checkMessage(std::span<const unsigned char>(buffer.data(), buffer.size()), expected, length);

    bool good = true;
    const auto fill = static_cast<unsigned char>(expected & 0xFF);
    for (int32_t i = 0; i < length; ++i) {
        if (static_cast<size_t>(i) >= buffer.size() || buffer[static_cast<size_t>(i)] != fill) {
            good = false;
            break;
        }
    }
    FUZZ_CHECK(result == (good ? 0 : -1));
    return 0;
}
