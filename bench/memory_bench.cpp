// The memory test's three passes over a 1 GiB block, next to plain streaming
// passes over the same block (write, read-modify-write and read of every
// word), in one run; the ratio of the two tells whether the test's loops run
// at the speed of the memory or are held back by their own code.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "tests/memory.h"

namespace {

constexpr size_t kBlockBytes = size_t{1} << 30;
constexpr const char* kPasses = "MemtestPasses";
constexpr const char* kReference = "StreamingReference";

// One block for both benchmarks, touched once so that neither pays for the
// first faults of its pages.
std::span<uint32_t> block() {
    static uint32_t* words = [] {
        auto* w = static_cast<uint32_t*>(malloc(kBlockBytes));
        if (w != nullptr) memset(w, 0, kBlockBytes);
        return w;
    }();
    if (words == nullptr) return {};
    return {words, kBlockBytes / sizeof(uint32_t)};
}

void MemtestPasses(benchmark::State& state) {
    std::span<uint32_t> words = block();
    if (words.empty()) {
        state.SkipWithError("cannot allocate 1 GiB");
        return;
    }
    for (auto _ : state) {
        memoryWritePass(words);
        memoryIncrementPass(words);
        benchmark::DoNotOptimize(memoryVerifyPass(words));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kBlockBytes) * 3);
}

void StreamingReference(benchmark::State& state) {
    std::span<uint32_t> words = block();
    if (words.empty()) {
        state.SkipWithError("cannot allocate 1 GiB");
        return;
    }
    uint32_t* w = words.data();
    const size_t n = words.size();
    for (auto _ : state) {
        for (size_t i = 0; i < n; ++i) w[i] = static_cast<uint32_t>(i);
        benchmark::ClobberMemory();
        for (size_t i = 0; i < n; ++i) w[i] += 1u;
        benchmark::ClobberMemory();
        size_t bad = n;
        for (size_t i = 0; i < n; ++i) {
            if (w[i] != static_cast<uint32_t>(i + 1)) {
                bad = i;
                break;
            }
        }
        benchmark::DoNotOptimize(bad);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kBlockBytes) * 3);
}

BENCHMARK(MemtestPasses)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(StreamingReference)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// Prints as the console reporter does and keeps each benchmark's time per iteration.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    double passes = 0;
    double reference = 0;

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
            const std::string& name = run.run_name.function_name;
            if (name == kPasses) passes = run.GetAdjustedRealTime();
            if (name == kReference) reference = run.GetAdjustedRealTime();
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    if (reporter.passes <= 0 || reporter.reference <= 0) {
        printf("ratio: not measured (a benchmark did not run)\n");
        return 1;
    }
    // Both count the same bytes, so the throughput ratio is the inverse of the time ratio.
    printf("throughput ratio %s / %s: %.2f\n", kPasses, kReference, reporter.reference / reporter.passes);
    return 0;
}
