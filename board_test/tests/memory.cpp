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
//
// A pass is bound by its memory traffic: the 12-byte step touches every
// 64-byte line. Two things keep the loops from costing more than that traffic:
// - Blocks of 48 words (16 visited, three lines): a fixed-size block unrolls
//   into straight-line code with constant offsets, one or two instructions per
//   visited word. A loop step per word costs a taken branch each, and five of
//   those per line take longer than the line's own transfer. A block starts at
//   a multiple of 3 because 48 is one; the words after the last whole block go
//   through the plain loop.
// - A prefetch of the lines 1 KiB ahead: with five or more accesses per line,
//   the core's queues hold fewer lines in flight than a loop that touches each
//   line once, and the prefetch gives that back. It is a hint, it reads no word
//   into the program and writes none.
namespace {
constexpr uint64_t kBlockWords = kMemoryBlockWords;
constexpr uint64_t kAheadWords = kMemoryAheadWords;
constexpr uint64_t kLineWords = 16;
static_assert(kBlockWords % kStride == 0 && kBlockWords == 3 * kLineWords);

// Prefetches the three lines of the block kAheadWords past word i, while that
// block lies inside the n words.
template <int kForWrite>
[[gnu::always_inline]] inline void prefetchAhead(const uint32_t* w, uint64_t i, uint64_t n) {
    if (i + kAheadWords + kBlockWords > n) return;
    const uint32_t* ahead = w + i + kAheadWords;
    __builtin_prefetch(ahead, kForWrite);
    __builtin_prefetch(ahead + kLineWords, kForWrite);
    __builtin_prefetch(ahead + 2 * kLineWords, kForWrite);
}

[[gnu::always_inline]] inline void writeBlock(uint32_t* w, uint32_t first) {
#pragma GCC unroll 16
    for (uint32_t k = 0; k < kBlockWords; k += kStride) w[k] = first + k;
}

[[gnu::always_inline]] inline void incrementBlock(uint32_t* w) {
#pragma GCC unroll 16
    for (uint32_t k = 0; k < kBlockWords; k += kStride) w[k] = w[k] + 1u;
}

// Whether any visited word of the block differs from its index + 1, with no
// early exit: one test per block instead of a branch per word.
[[gnu::always_inline]] inline bool blockDiffers(const uint32_t* w, uint32_t first) {
    uint32_t diff = 0;
#pragma GCC unroll 16
    for (uint32_t k = 0; k < kBlockWords; k += kStride) diff |= w[k] ^ (first + k + 1u);
    return diff != 0;
}
}  // namespace

void memoryWritePass(std::span<uint32_t> words) {
    uint32_t* w = words.data();
    const uint64_t n = words.size();
    uint64_t i = 0;
    for (; i + kBlockWords <= n; i += kBlockWords) {
        prefetchAhead<1>(w, i, n);
        writeBlock(w + i, static_cast<uint32_t>(i));
    }
    for (; i < n; i += kStride) w[i] = static_cast<uint32_t>(i);
}

void memoryIncrementPass(std::span<uint32_t> words) {
    uint32_t* w = words.data();
    const uint64_t n = words.size();
    uint64_t i = 0;
    for (; i + kBlockWords <= n; i += kBlockWords) {
        prefetchAhead<1>(w, i, n);
        incrementBlock(w + i);
    }
    for (; i < n; i += kStride) w[i] = w[i] + 1u;
}

// A block that differs is scanned again word by word, so the first differing
// word is found in ascending order as if every word were tested in turn.
uint64_t memoryVerifyPass(std::span<const uint32_t> words) {
    const uint32_t* w = words.data();
    const uint64_t n = words.size();
    uint64_t i = 0;
    for (; i + kBlockWords <= n; i += kBlockWords) {
        prefetchAhead<0>(w, i, n);
        if (blockDiffers(w + i, static_cast<uint32_t>(i))) break;
    }
    for (; i < n; i += kStride) {
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
