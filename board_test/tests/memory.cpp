#include "memory.h"

#include <unistd.h>

#include <cstdlib>

#include "../log/log.h"

namespace {
constexpr uint64_t kStride = 3;
constexpr double kShare = 0.8;

struct HeapBlock {
    void* data;
    explicit HeapBlock(void* d) : data(d) {}
    HeapBlock(const HeapBlock&) = delete;
    HeapBlock& operator=(const HeapBlock&) = delete;
    ~HeapBlock() { free(data); }
};
}  // namespace

int64_t memoryTestBytes(int64_t freePages, int64_t pageSize) {
    int64_t product = 0;
    if (__builtin_mul_overflow(freePages, pageSize, &product)) {
        product = (freePages < 0) != (pageSize < 0) ? INT64_MIN : INT64_MAX;
    }
    // |product * 0.8| stays below 2^63, so the conversion back is always defined.
    return static_cast<int64_t>(static_cast<double>(product) * kShare);
}

// The index is 64 bits wide: a 32-bit one would never pass 2^32 words (16 GiB).
void memoryWritePass(std::span<uint32_t> words) {
    uint32_t* w = words.data();
    const uint64_t n = words.size();
    for (uint64_t i = 0; i < n; i += kStride) w[i] = static_cast<uint32_t>(i);
}

void memoryIncrementPass(std::span<uint32_t> words) {
    uint32_t* w = words.data();
    const uint64_t n = words.size();
    for (uint64_t i = 0; i < n; i += kStride) w[i] = w[i] + 1u;
}

uint64_t memoryVerifyPass(std::span<const uint32_t> words) {
    const uint32_t* w = words.data();
    const uint64_t n = words.size();
    for (uint64_t i = 0; i < n; i += kStride) {
        if (w[i] != static_cast<uint32_t>(i + 1)) return i;
    }
    return n;
}

bool checkMemoryWords(std::span<const uint32_t> words) {
    uint64_t bad = memoryVerifyPass(words);
    if (bad == words.size()) return true;
    logError("testMemory", "Memtest failed - read error %d %d\n", static_cast<int32_t>(words[bad]),
             static_cast<int32_t>(static_cast<uint32_t>(bad + 1)));
    return false;
}

bool testMemoryBlock(int64_t bytes) {
    logInfo("testMemory", "Memtest checking [%lu] bytes\n", static_cast<unsigned long>(bytes));
    // A negative count asks for more than any heap holds and fails like one.
    HeapBlock block(malloc(static_cast<size_t>(bytes)));
    if (block.data == nullptr) {
        logErrorLine("testMemory", "Memtest failed - cannot allocate memory");
        return false;
    }
    if (bytes < 4) return true;
    std::span<uint32_t> words(static_cast<uint32_t*>(block.data), static_cast<uint64_t>(bytes) / 4);
    memoryWritePass(words);
    memoryIncrementPass(words);
    return checkMemoryWords(words);
}

bool testMemory() {
    int64_t freePages = sysconf(_SC_AVPHYS_PAGES);
    int64_t pageSize = sysconf(_SC_PAGESIZE);
    return testMemoryBlock(memoryTestBytes(freePages, pageSize));
}
