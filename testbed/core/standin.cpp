#include "standin.h"

#include <signal.h>

#include <cerrno>
#include <ctime>

namespace testbed {
namespace {

volatile sig_atomic_t stopFlag = 0;

void onStop(int) { stopFlag = 1; }

}  // namespace

void catchStopSignals() {
    struct sigaction sa {};
    sa.sa_handler = onStop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
}

bool stopRequested() { return stopFlag != 0; }

long long nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sleepMs(long ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR && stopFlag == 0) {
    }
}

}  // namespace testbed
