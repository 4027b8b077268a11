#pragma once
// Bounded polling for tests: true as soon as the condition holds, false once
// timeoutMs have passed without it.

#include <unistd.h>

#include <functional>

#include "core/standin.h"

inline bool waitFor(const std::function<bool()>& condition, int timeoutMs) {
    long long end = testbed::nowMs() + timeoutMs;
    while (!condition()) {
        if (testbed::nowMs() >= end) return false;
        usleep(2000);
    }
    return true;
}
