// RAM test: byte count, the three passes and their report, on small blocks.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "expect.h"
#include "isolated.h"
#include "tests/memory.h"

// A block too large for any heap must come back as a null pointer here too.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
extern "C" const char* __tsan_default_options() { return "allocator_may_return_null=1"; }

namespace {

// Runs body in a child with its stdout captured; exit code 1 means "passed".
ChildResult runCaptured(const std::function<bool()>& body) {
    return runIsolated(0, [&] { return body() ? 1 : 0; });
}

std::string checking(const char* count) {
    return expect::info("testMemory", std::string("Memtest checking [") + count + "] bytes\n");
}
std::string readError(const char* got, const char* want) {
    return expect::error("testMemory", std::string("Memtest failed - read error ") + got + " " + want + "\n");
}

// The word-by-word check of the verify pass, which its blocked loop must match.
uint64_t firstDifferenceWordByWord(const std::vector<uint32_t>& words) {
    for (uint64_t i = 0; i < words.size(); i += 3) {
        if (words[i] != static_cast<uint32_t>(i + 1)) return i;
    }
    return words.size();
}

// Index of the first word that does not hold what a pass should have left
// there (visited: its index + added; between: the filler), or the length.
uint64_t firstWrongWord(const std::vector<uint32_t>& words, uint32_t added, uint32_t filler) {
    for (uint64_t i = 0; i < words.size(); ++i) {
        uint32_t want = i % 3 == 0 ? static_cast<uint32_t>(i) + added : filler;
        if (words[i] != want) return i;
    }
    return words.size();
}

// Lengths that end inside, at and past whole blocks and their prefetch distance.
constexpr uint64_t kLongest = kMemoryAheadWords + 4 * kMemoryBlockWords + 3;

// Passes the block through write and increment with an optional change between them.
template <class Between>
bool passesWith(std::vector<uint32_t>& words, Between between) {
    memoryWritePass(words);
    between(words);
    memoryIncrementPass(words);
    return checkMemoryWords(words);
}

}  // namespace

TEST(MemoryByteCount, IsEightyPercentOfFreePagesTimesPageSize) {
    EXPECT_EQ(memoryTestBytes(1000, 4096), 3276800);
    EXPECT_EQ(memoryTestBytes(262144, 16384), 3435973836);  // 4 GiB free
}

TEST(MemoryByteCount, TruncatesTowardZero) {
    EXPECT_EQ(memoryTestBytes(3, 1), 2);    // 2.4
    EXPECT_EQ(memoryTestBytes(1, 4), 3);    // 3.2
    EXPECT_EQ(memoryTestBytes(-3, 1), -2);  // a failed sysconf stays negative
}

TEST(MemoryByteCount, SaturatesInsteadOfOverflowing) {
    EXPECT_EQ(memoryTestBytes(INT64_MAX, 2), static_cast<int64_t>(static_cast<double>(INT64_MAX) * 0.8));
    EXPECT_EQ(memoryTestBytes(INT64_MAX, -2), static_cast<int64_t>(static_cast<double>(INT64_MIN) * 0.8));
}

TEST(MemoryPasses, VisitEveryThirdWordAndLeaveTheOthersUntouched) {
    std::vector<uint32_t> words(10, 0xAAAAAAAAu);
    memoryWritePass(words);
    EXPECT_EQ(words, (std::vector<uint32_t>{0, 0xAAAAAAAAu, 0xAAAAAAAAu, 3, 0xAAAAAAAAu, 0xAAAAAAAAu, 6, 0xAAAAAAAAu,
                                            0xAAAAAAAAu, 9}));
    memoryIncrementPass(words);
    EXPECT_EQ(words, (std::vector<uint32_t>{1, 0xAAAAAAAAu, 0xAAAAAAAAu, 4, 0xAAAAAAAAu, 0xAAAAAAAAu, 7, 0xAAAAAAAAu,
                                            0xAAAAAAAAu, 10}));
    EXPECT_EQ(memoryVerifyPass(words), 10u);
}

TEST(MemoryPasses, IncrementWrapsAtThirtyTwoBits) {
    std::vector<uint32_t> words{0xFFFFFFFFu};
    memoryIncrementPass(words);
    EXPECT_EQ(words[0], 0u);
}

TEST(MemoryPasses, VerifyFindsTheFirstDifferingVisitedWord) {
    std::vector<uint32_t> words{1, 0, 0, 4, 0, 0, 99, 0, 0, 98};
    EXPECT_EQ(memoryVerifyPass(words), 6u);
}

TEST(MemoryPasses, ThreeWordsVisitOnlyWordZeroAndFourWordsAlsoWordThree) {
    std::vector<uint32_t> three{1, 7, 7};
    EXPECT_EQ(memoryVerifyPass(three), three.size());
    std::vector<uint32_t> four{1, 7, 7, 7};
    EXPECT_EQ(memoryVerifyPass(four), 3u);
}

// A block changed between the write and the increment pass: the first
// visited word found wrong is reported (value read, then expected); words
// the passes do not visit go unseen.
TEST(MemoryReport, ChangeBetweenThePassesIsReportedAtTheFirstVisitedBadWord) {
    const struct {
        const char* what;
        size_t words;
        std::vector<std::pair<size_t, uint32_t>> changes;  // word, value written between the passes
        bool passes;
        std::string out;
    } cases[] = {
        {"value read, then expected", 16, {{3, 7}}, false, readError("8", "4")},
        {"only the first of several bad words", 30, {{9, 100}, {12, 200}}, false, readError("101", "10")},
        {"values shown as signed 32-bit numbers", 4, {{3, 0x7FFFFFFFu}}, false, readError("-2147483648", "4")},
        {"words between the visited ones go unseen", 12, {{1, 55}, {5, 66}, {11, 77}}, true, ""},
    };
    for (const auto& c : cases) {
        auto r = runCaptured([&] {
            std::vector<uint32_t> words(c.words);
            return passesWith(words, [&](std::vector<uint32_t>& w) {
                for (const auto& [at, value] : c.changes) w[at] = value;
            });
        });
        ASSERT_FALSE(r.skipped) << r.out;
        EXPECT_EQ(r.exitCode, c.passes ? 1 : 0) << c.what;
        EXPECT_EQ(r.out, c.out) << c.what;
    }
}

TEST(MemoryReport, CorruptionAfterTheIncrementOfWordZeroExpectsOne) {
    auto r = runCaptured([] {
        std::vector<uint32_t> words(8);
        memoryWritePass(words);
        memoryIncrementPass(words);
        words[0] = 0xFFFFFFFFu;
        return checkMemoryWords(words);
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, readError("-1", "1"));
}

namespace {

// testMemoryBlock(bytes) logs the count as an unsigned number, then passes
// or reports that the block could not be allocated.
struct BlockRun {
    const char* name;
    int64_t bytes;
    const char* shown;
    bool passes;
};

void PrintTo(const BlockRun& run, std::ostream* os) { *os << run.name; }

const BlockRun kBlockRuns[] = {
    {"SmallBlockPassesAndLogsItsByteCount", 4096, "4096", true},
    {"BlockWithoutAWholeWordPassesAt0Bytes", 0, "0", true},
    {"BlockWithoutAWholeWordPassesAt1Bytes", 1, "1", true},
    {"BlockWithoutAWholeWordPassesAt2Bytes", 2, "2", true},
    {"BlockWithoutAWholeWordPassesAt3Bytes", 3, "3", true},
    {"BlockThatCannotBeAllocatedFails", INT64_MAX, "9223372036854775807", false},
    {"NegativeByteCountIsShownUnsignedAndFailsToAllocate", -2, "18446744073709551614", false},
};

}  // namespace

class MemoryBlock : public ::testing::TestWithParam<BlockRun> {};

TEST_P(MemoryBlock, PassesOrFailsToAllocateAndLogsItsByteCount) {
    const BlockRun& c = GetParam();
    auto r = runCaptured([&c] { return testMemoryBlock(c.bytes); });
    ASSERT_FALSE(r.skipped) << r.out;
    EXPECT_EQ(r.exitCode, c.passes ? 1 : 0);
    EXPECT_EQ(r.out, checking(c.shown) +
                         (c.passes ? "" : expect::error("testMemory", "Memtest failed - cannot allocate memory\n")));
}

INSTANTIATE_TEST_SUITE_P(Sizes, MemoryBlock, ::testing::ValuesIn(kBlockRuns),
                         [](const ::testing::TestParamInfo<BlockRun>& param) { return std::string(param.param.name); });

TEST(MemoryPasses, TouchOnlyTheVisitedWordsForEveryLengthAcrossBlocks) {
    constexpr uint32_t kFiller = 0xA5A5A5A5u;
    for (uint64_t n = 0; n <= kLongest; ++n) {
        std::vector<uint32_t> words(n, kFiller);
        memoryWritePass(words);
        ASSERT_EQ(firstWrongWord(words, 0, kFiller), n) << "write, length " << n;
        memoryIncrementPass(words);
        ASSERT_EQ(firstWrongWord(words, 1, kFiller), n) << "increment, length " << n;
        ASSERT_EQ(memoryVerifyPass(words), n) << "verify, length " << n;
    }
}

TEST(MemoryPasses, VerifyFindsTheSameWordAsAWordByWordCheckWhereverTheFaultIs) {
    for (uint64_t n : {3 * kMemoryBlockWords, 3 * kMemoryBlockWords + 7, kLongest}) {
        for (uint64_t bad = 0; bad < n; bad += 3) {
            std::vector<uint32_t> words(n);
            memoryWritePass(words);
            memoryIncrementPass(words);
            words[bad] ^= 1u << (bad % 32);
            if (bad + 6 < n) words[bad + 6] = 0;  // a later fault in the same block or the next
            ASSERT_EQ(firstDifferenceWordByWord(words), bad);
            ASSERT_EQ(memoryVerifyPass(words), bad) << "length " << n;
        }
    }
}

TEST(MemoryPasses, VerifyIgnoresTheWordsBetweenInsideWholeBlocks) {
    std::vector<uint32_t> words(4 * kMemoryBlockWords);
    memoryWritePass(words);
    memoryIncrementPass(words);
    for (uint64_t i = 0; i < words.size(); ++i) {
        if (i % 3 != 0) words[i] = ~static_cast<uint32_t>(i);
    }
    EXPECT_EQ(memoryVerifyPass(words), words.size());
}

// A corrupted word wherever it sits among the blocks is reported with the
// value read and its expected value, and only the first one.
struct Fault {
    const char* where;
    uint64_t length;
    uint64_t word;
    uint64_t laterWord;  // a second corrupted word after it, or 0
};
constexpr uint64_t kB = kMemoryBlockWords;
constexpr Fault kFaults[] = {
    {"first word", 4 * kB + 20, 0, 0},
    {"start of a block", 4 * kB + 20, kB, 0},
    {"middle of a block", 4 * kB + 20, kB + 24, 0},
    {"end of a block", 4 * kB + 20, 2 * kB - 3, 0},
    {"start of the last partial block", 4 * kB + 20, 4 * kB, 0},
    {"last word of the last partial block", 4 * kB + 20, 4 * kB + 18, 0},
    {"two in one block", 4 * kB + 20, 2 * kB + 9, 2 * kB + 30},
    {"one in a block, one in the partial block", 4 * kB + 20, 3 * kB + 45, 4 * kB + 3},
    {"block with nothing left to prefetch", kMemoryAheadWords + 3 * kB, 7 * kB + 27, 0},
};
constexpr bool visitedInOrder(const Fault& f) {
    return f.word % 3 == 0 && f.word < f.length &&
           (f.laterWord == 0 || (f.laterWord % 3 == 0 && f.word < f.laterWord && f.laterWord < f.length));
}
static_assert(std::all_of(std::begin(kFaults), std::end(kFaults), visitedInOrder));

TEST(MemoryReport, FaultAnywhereAmongTheBlocksShowsValueReadThenExpected) {
    for (const Fault& f : kFaults) {
        SCOPED_TRACE(f.where);
        const uint32_t stored = 0x12340000u + static_cast<uint32_t>(f.word);
        auto r = runCaptured([&f, stored] {
            std::vector<uint32_t> words(f.length);
            return passesWith(words, [&f, stored](std::vector<uint32_t>& w) {
                w[f.word] = stored;
                if (f.laterWord != 0) w[f.laterWord] = 0;
            });
        });
        ASSERT_FALSE(r.skipped) << r.out;
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, readError(std::to_string(static_cast<int32_t>(stored + 1)).c_str(),
                                   std::to_string(f.word + 1).c_str()));
    }
}
