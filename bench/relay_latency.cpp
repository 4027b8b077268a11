// pylorn on the simulated GPIO chip: how long a relay takes to follow a change
// of its input, and how much CPU time the program spends per second of
// running, both while inputs change and while they stand still.
//
//   relay_latency [CHANGES [IDLE_SECONDS]]    (defaults 200 and 30)
//
// Each change flips one input (the four pairs in turn) and is timed until the
// relay reads the new level; the next change comes after a random pause of
// up to 100 ms, so the changes fall evenly over the program's follow period.
// CPU time is utime + stime from /proc/<pid>/stat (whole clock ticks, 10 ms
// each) and, finer, the on-CPU nanoseconds of /proc/<pid>/schedstat (pylorn
// has one thread, so its leader's figure is the whole program's).

#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "sim_chip.h"
#include "sim_env.h"

namespace {

constexpr uint32_t kRelays[4] = {8, 9, 10, 11};
constexpr uint32_t kInputs[4] = {6, 5, 4, 3};
constexpr int64_t kGiveUpNs = 2'000'000'000;  // a relay that has not followed in 2 s never will
constexpr long kLookNs = 20'000;              // between two looks at the relay

int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void pauseNs(int64_t ns) {
    timespec ts{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// utime + stime of pid in seconds, or a negative value when it cannot be read.
double cpuSeconds(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* file = fopen(path, "r");
    if (file == nullptr) return -1;
    char text[1024] = {};
    size_t n = fread(text, 1, sizeof text - 1, file);
    fclose(file);
    text[n] = '\0';
    // Fields after the command name, which is in parentheses and may hold blanks.
    const char* p = strrchr(text, ')');
    if (p == nullptr) return -1;
    unsigned long utime = 0;
    unsigned long stime = 0;
    // state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime
    if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2) return -1;
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Nanoseconds pid has spent on a CPU, or a negative value when it cannot be read.
double schedSeconds(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/schedstat", static_cast<int>(pid));
    FILE* file = fopen(path, "r");
    if (file == nullptr) return -1;
    unsigned long long ns = 0;
    int got = fscanf(file, "%llu", &ns);
    fclose(file);
    return got == 1 ? static_cast<double>(ns) / 1e9 : -1;
}

bool allHeld(const SimSession& session) {
    for (int k = 0; k < 4; ++k) {
        if (!simIsHeld(session, kRelays[k]) || !simIsHeld(session, kInputs[k])) return false;
    }
    return true;
}

double percentile(const std::vector<int64_t>& sorted, double p) {
    auto index = static_cast<size_t>(std::lround(p * static_cast<double>(sorted.size() - 1)));
    return static_cast<double>(sorted[index]) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    int changes = argc > 1 ? atoi(argv[1]) : 200;
    int idleSeconds = argc > 2 ? atoi(argv[2]) : 30;
    if (changes < 1 || idleSeconds < 1) {
        fprintf(stderr, "usage: relay_latency [CHANGES [IDLE_SECONDS]]\n");
        return 2;
    }
    char dir[] = "/tmp/relay_latency.XXXXXX";
    if (mkdtemp(dir) == nullptr) return perror("mkdtemp"), 1;
    std::string state = std::string(dir) + "/chip";
    SimSession session;
    if (!simCreate(state.c_str(), "/dev/gpiochip0", 16) || !simAttach(state.c_str(), session)) {
        perror("gpiosim state");
        return 1;
    }

    testbed::Process child;
    if (!testbed::start(child, {KIT_PYLORN_PATH}, simOptions(KIT_GPIOSIM_PRELOAD, state.c_str()))) {
        fprintf(stderr, "cannot start %s\n", KIT_PYLORN_PATH);
        return 1;
    }
    int64_t start = nowNs();
    while (!allHeld(session)) {
        if (nowNs() - start > kGiveUpNs || testbed::waitEnd(child, 0)) {
            fprintf(stderr, "pylorn did not take its lines\n");
            testbed::stop(child, SIGKILL);
            return 1;
        }
        pauseNs(1'000'000);
    }

    std::mt19937 random(12345);
    std::uniform_int_distribution<int64_t> pause(0, 100'000'000);
    std::vector<int64_t> latencies;
    latencies.reserve(static_cast<size_t>(changes));
    int levels[4] = {0, 0, 0, 0};
    int failures = 0;

    double cpuBefore = cpuSeconds(child.pid);
    double schedBefore = schedSeconds(child.pid);
    int64_t busyStart = nowNs();
    for (int i = 0; i < changes; ++i) {
        int k = i % 4;
        levels[k] ^= 1;
        simSetExternal(session, kInputs[k], levels[k]);
        int64_t changed = nowNs();
        int64_t followed = 0;
        for (;;) {
            int64_t t = nowNs();
            if (simLevel(session, kRelays[k]) == levels[k]) {
                followed = t;
                break;
            }
            if (t - changed > kGiveUpNs) break;
            pauseNs(kLookNs);
        }
        if (followed == 0) {
            ++failures;
            fprintf(stderr, "relay %u did not follow input %u within 2 s\n", kRelays[k], kInputs[k]);
        } else {
            latencies.push_back(followed - changed);
        }
        pauseNs(pause(random));
    }
    double busyWall = static_cast<double>(nowNs() - busyStart) / 1e9;
    double cpuBusy = cpuSeconds(child.pid) - cpuBefore;
    double schedBusy = schedSeconds(child.pid) - schedBefore;

    cpuBefore = cpuSeconds(child.pid);
    schedBefore = schedSeconds(child.pid);
    int64_t idleStart = nowNs();
    pauseNs(static_cast<int64_t>(idleSeconds) * 1'000'000'000);
    double idleWall = static_cast<double>(nowNs() - idleStart) / 1e9;
    double cpuIdle = cpuSeconds(child.pid) - cpuBefore;
    double schedIdle = schedSeconds(child.pid) - schedBefore;
    bool stillRunning = !testbed::waitEnd(child, 0);
    testbed::stop(child, SIGTERM);
    testbed::stop(child, SIGKILL);
    simDetach(session);
    unlink(state.c_str());
    unlink((state + ".lines").c_str());
    rmdir(dir);

    if (latencies.empty() || !stillRunning || cpuBefore < 0 || schedBefore < 0) {
        fprintf(stderr, "no measurement: %s\n", stillRunning ? "no relay followed" : "pylorn ended early");
        return 1;
    }
    std::vector<int64_t> sorted = latencies;
    std::sort(sorted.begin(), sorted.end());
    double sum = 0;
    for (int64_t l : sorted) sum += static_cast<double>(l) / 1e6;
    printf("changes: %zu followed, %d not followed\n", sorted.size(), failures);
    printf("latency ms: min %.2f median %.2f mean %.2f p90 %.2f p99 %.2f worst %.2f\n", percentile(sorted, 0),
           percentile(sorted, 0.5), sum / static_cast<double>(sorted.size()), percentile(sorted, 0.9),
           percentile(sorted, 0.99), percentile(sorted, 1));
    printf("cpu while changing: stat %.2f s, schedstat %.4f s over %.2f s = %.2f / %.3f ms per second\n", cpuBusy,
           schedBusy, busyWall, 1000 * cpuBusy / busyWall, 1000 * schedBusy / busyWall);
    printf("cpu while idle:     stat %.2f s, schedstat %.4f s over %.2f s = %.2f / %.3f ms per second\n", cpuIdle,
           schedIdle, idleWall, 1000 * cpuIdle / idleWall, 1000 * schedIdle / idleWall);
    return failures == 0 ? 0 : 1;
}
