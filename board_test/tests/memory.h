#pragma once
// RAM test: a pattern written over most of the free memory, changed in place and read back.

#include <cstdint>
#include <span>

// Tests 80 % of the physical memory that is free right now.
bool testMemory();

// Byte count for the given free pages and page size: their product (saturated
// instead of overflowing) times 0.8, truncated toward zero.
int64_t memoryTestBytes(int64_t freePages, int64_t pageSize);

// The whole test on a block of the given size: log, allocate, three passes, free.
bool testMemoryBlock(int64_t bytes);

// The passes run over blocks of this many words, 16 of them visited (three
// 64-byte lines), and prefetch the lines this many words ahead; the words
// after the last whole block go through a plain loop.
constexpr uint64_t kMemoryBlockWords = 48;
constexpr uint64_t kMemoryAheadWords = 256;

// The three passes over every third word of a block: no call, log entry or
// allocation inside them.
// Stores each visited word's index (as 32 bits).
void memoryWritePass(std::span<uint32_t> words);
// Adds 1 (wrapping) to each visited word.
void memoryIncrementPass(std::span<uint32_t> words);
// Index of the first visited word that does not hold its index + 1, or
// words.size() when every visited word does.
uint64_t memoryVerifyPass(std::span<const uint32_t> words);

// Verifies the block and reports the first differing word; true when none differs.
bool checkMemoryWords(std::span<const uint32_t> words);
