#pragma once
// What every stand-in process needs: a stop on SIGTERM, SIGINT or SIGHUP, a
// clock, and a strict reader of the numbers on its command line.

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <utility>

namespace testbed {

// From now on SIGTERM, SIGINT and SIGHUP only ask the process to stop.
void catchStopSignals();
bool stopRequested();

// Milliseconds of the monotonic clock.
long long nowMs();
// Sleeps ms milliseconds, or less when a stop is requested meanwhile.
void sleepMs(long ms);

// A whole decimal number within [low, high] that fits T: digits only, with
// a leading minus where low is negative. False leaves value as it was.
template <class T>
bool parseNumber(const char* text, long low, long high, T& value) {
    auto digit = [](char c) { return isdigit(static_cast<unsigned char>(c)) != 0; };
    if (text == nullptr || !(digit(text[0]) || (text[0] == '-' && low < 0 && digit(text[1])))) return false;
    errno = 0;
    char* end = nullptr;
    long v = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < low || v > high || !std::in_range<T>(v)) return false;
    value = static_cast<T>(v);
    return true;
}

}  // namespace testbed
