// Each of the memory test's three passes over a 1 GiB block next to its own
// floor, in one run over the same prefaulted block. The test's 12-byte step
// touches every 64-byte line, so what bounds a pass is the traffic of its
// lines: the write pass reads each line for ownership and writes it back, the
// increment pass reads and writes each line, the verify pass reads each line.
// A floor moves exactly that traffic and does nothing else (one store, one
// read-modify-write or one load per line), so pass / floor throughput says
// how much of the memory's speed a pass leaves unused.
//
// For context, not for the ratio:
// - each floor again with a prefetch 1 KiB ahead, as the passes do: whether
//   a floor is still the limit of the memory or only of its own loop;
// - each pass over a 256 KiB block that stays in the cache: the speed of the
//   pass's own code, which tells how much faster a memory it could follow;
// - memset of the block, which may write lines without reading them first.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "tests/memory.h"

namespace {

constexpr size_t kLargeBytes = size_t{1} << 30;
constexpr size_t kCachedBytes = size_t{256} << 10;
constexpr uint64_t kLineWords = 64 / sizeof(uint32_t);
constexpr uint64_t kAheadWords = 1024 / sizeof(uint32_t);
constexpr int kRepetitions = 5;
constexpr double kMinTime = 0.5;

// Blocks shared by every benchmark, touched once so that none pays for the
// first faults of its pages.
std::span<uint32_t> prefaulted(size_t bytes) {
    auto* w = static_cast<uint32_t*>(malloc(bytes));
    if (w == nullptr) return {};
    memset(w, 0, bytes);
    return {w, bytes / sizeof(uint32_t)};
}
std::span<uint32_t> largeBlock() {
    static std::span<uint32_t> words = prefaulted(kLargeBytes);
    return words;
}
std::span<uint32_t> cachedBlock() {
    static std::span<uint32_t> words = prefaulted(kCachedBytes);
    return words;
}

// The floors: one access of the pass's kind to the first word of every line,
// optionally with the passes' prefetch of the line 1 KiB ahead.
template <bool kPrefetch, int kForWrite>
void prefetchLine(const uint32_t* w, uint64_t i, uint64_t n) {
    if (kPrefetch && i + kAheadWords < n) __builtin_prefetch(w + i + kAheadWords, kForWrite);
}

template <bool kPrefetch>
void storePerLine(std::span<uint32_t> words) {
    uint32_t* w = words.data();
    for (uint64_t i = 0; i < words.size(); i += kLineWords) {
        prefetchLine<kPrefetch, 1>(w, i, words.size());
        w[i] = static_cast<uint32_t>(i);
    }
}

template <bool kPrefetch>
void readModifyWritePerLine(std::span<uint32_t> words) {
    uint32_t* w = words.data();
    for (uint64_t i = 0; i < words.size(); i += kLineWords) {
        prefetchLine<kPrefetch, 1>(w, i, words.size());
        w[i] = w[i] + 1u;
    }
}

template <bool kPrefetch>
uint32_t loadPerLine(std::span<const uint32_t> words) {
    const uint32_t* w = words.data();
    uint32_t sum = 0;
    for (uint64_t i = 0; i < words.size(); i += kLineWords) {
        prefetchLine<kPrefetch, 0>(w, i, words.size());
        sum += w[i];
    }
    return sum;
}

// The verify pass stops at the first differing word, so it runs over a block
// that holds the pattern; a word it reports fails the run.
uint64_t verifyOrSkip(benchmark::State& state, std::span<uint32_t> w) {
    uint64_t checked = memoryVerifyPass(w);
    if (checked != w.size()) state.SkipWithError("the verify pass found a differing word");
    return checked;
}

enum class Body {
    kWritePass,
    kWriteFloor,
    kWriteFloorPrefetched,
    kIncrementPass,
    kIncrementFloor,
    kIncrementFloorPrefetched,
    kVerifyPass,
    kVerifyFloor,
    kVerifyFloorPrefetched,
    kMemset,
};

void runBody(benchmark::State& state, Body body, std::span<uint32_t> w) {
    switch (body) {
        case Body::kWritePass: memoryWritePass(w); break;
        case Body::kWriteFloor: storePerLine<false>(w); break;
        case Body::kWriteFloorPrefetched: storePerLine<true>(w); break;
        case Body::kIncrementPass: memoryIncrementPass(w); break;
        case Body::kIncrementFloor: readModifyWritePerLine<false>(w); break;
        case Body::kIncrementFloorPrefetched: readModifyWritePerLine<true>(w); break;
        case Body::kVerifyPass: benchmark::DoNotOptimize(verifyOrSkip(state, w)); break;
        case Body::kVerifyFloor: benchmark::DoNotOptimize(loadPerLine<false>(w)); break;
        case Body::kVerifyFloorPrefetched: benchmark::DoNotOptimize(loadPerLine<true>(w)); break;
        case Body::kMemset: memset(w.data(), 0, w.size_bytes()); break;
    }
}

// Runs the body over the block once per iteration and counts the block's
// bytes once per iteration, so that every throughput compares directly.
// Throughput is taken over CPU time: on a shared machine the time a run
// spends descheduled belongs to its neighbours, and it would land at random
// on a pass or on its floor.
void overBlock(benchmark::State& state, Body body, bool cached) {
    std::span<uint32_t> words = cached ? cachedBlock() : largeBlock();
    if (words.empty()) {
        state.SkipWithError("cannot allocate the block");
        return;
    }
    if (body == Body::kVerifyPass) {
        memoryWritePass(words);
        memoryIncrementPass(words);
    }
    for (auto _ : state) {
        runBody(state, body, words);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(words.size_bytes()));
}

struct Entry {
    const char* name;
    Body body;
    bool cached;
};
constexpr Entry kBenchmarks[] = {
    {"write/pass", Body::kWritePass, false},
    {"write/floor", Body::kWriteFloor, false},
    {"write/prefetched-floor", Body::kWriteFloorPrefetched, false},
    {"write/cached-pass", Body::kWritePass, true},
    {"increment/pass", Body::kIncrementPass, false},
    {"increment/floor", Body::kIncrementFloor, false},
    {"increment/prefetched-floor", Body::kIncrementFloorPrefetched, false},
    {"increment/cached-pass", Body::kIncrementPass, true},
    {"verify/pass", Body::kVerifyPass, false},
    {"verify/floor", Body::kVerifyFloor, false},
    {"verify/prefetched-floor", Body::kVerifyFloorPrefetched, false},
    {"verify/cached-pass", Body::kVerifyPass, true},
    {"memset", Body::kMemset, false},
};
constexpr const char* kPasses[] = {"write", "increment", "verify"};

// Prints as the console reporter does and keeps each benchmark's median
// throughput over its repetitions.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> median;

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Aggregate || run.aggregate_name != "median") continue;
            auto rate = run.counters.find("bytes_per_second");
            if (rate != run.counters.end()) median[run.run_name.function_name] = rate->second.value / 1e9;
        }
    }

    double of(const char* pass, const char* what) {
        auto it = median.find(std::string(pass) + "/" + what);
        return it == median.end() ? 0.0 : it->second;
    }
};

}  // namespace

int main(int argc, char** argv) {
    for (const Entry& e : kBenchmarks) {
        benchmark::RegisterBenchmark(e.name, [e](benchmark::State& state) { overBlock(state, e.body, e.cached); })
            ->Unit(benchmark::kMillisecond)
            ->MinTime(kMinTime)
            ->Repetitions(kRepetitions)
            ->DisplayAggregatesOnly();
    }
    // Repetitions of all benchmarks run shuffled, so that a pass and its floor
    // see the same neighbours on a shared machine; a later flag overrides it.
    std::vector<char*> args(argv, argv + argc);
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave);
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    // Medians in GB/s; the ratio is pass / floor.
    printf("%-10s %8s %8s %7s %10s %8s\n", "pass", "pass", "floor", "ratio", "pf-floor", "cached");
    int status = 0;
    for (const char* p : kPasses) {
        double pass = reporter.of(p, "pass");
        double floor = reporter.of(p, "floor");
        if (pass <= 0 || floor <= 0) {
            printf("%-10s not measured (a benchmark did not run)\n", p);
            status = 1;
            continue;
        }
        printf("%-10s %8.2f %8.2f %7.3f %10.2f %8.2f\n", p, pass, floor, pass / floor,
               reporter.of(p, "prefetched-floor"), reporter.of(p, "cached-pass"));
    }
    if (reporter.median.count("memset") != 0) printf("memset %.2f GB/s\n", reporter.median["memset"]);
    return status;
}
