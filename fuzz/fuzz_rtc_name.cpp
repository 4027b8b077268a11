// RTC driver name: the first count bytes of the sysfs name (at most 64, in
// a zeroed 65-byte buffer) must begin with the expected driver name.
// Input: one byte giving the expected name's length, the name, then the content.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "tests/rtc.h"

namespace {
constexpr size_t kWorkBytes = 64;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    size_t nameBytes = data[0] % 32;
    if (size - 1 < nameBytes) return 0;
    // The expected name is a C string: it ends at its first zero byte.
    std::string expected(reinterpret_cast<const char*>(data + 1), nameBytes);
    expected.resize(strlen(expected.c_str()));

    const uint8_t* content = data + 1 + nameBytes;
    size_t rest = size - 1 - nameBytes;
    if (rest == 0) return 0;  // an empty read is refused before the match
    size_t count = rest < kWorkBytes ? rest : kWorkBytes;
    std::vector<char> work(kWorkBytes + 1, '\0');
    memcpy(work.data(), content, count);

    bool match = isRtcNamePrefix(work.data(), count, expected.c_str());
    bool reference = expected.size() <= count && std::string(work.data(), count).starts_with(expected);
    FUZZ_CHECK(match == reference);
    return 0;
}
