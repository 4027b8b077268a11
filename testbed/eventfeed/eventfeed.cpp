// eventfeed: stands in for a button's input event device.
//
//   eventfeed [-t MS] FIFO STEP...
//
// Creates FIFO when it is missing and holds it open for reading and writing,
// so a reader's open never blocks and a record written before the reader
// opens is kept. Then runs the steps in order:
//   TYPE:CODE:VALUE  writes one 24-byte input_event record (time stamp now)
//   part:N:TYPE:CODE:VALUE  writes only the first N (< 24) bytes of that record
//   sleep:MS         pauses
//   close            closes the FIFO (a waiting reader sees end of file) and ends
// After each write it waits until the reader has taken every byte, because a
// stdio reader takes all that is there in one read and drops the rest when it
// closes; records written one at a time so reach one opening each.
// After the last step the FIFO stays open until SIGTERM or SIGINT, or the
// time limit. -t MS bounds each wait and the final hold (default 60000; 0: no limit).
// Exit status: 0 every record was taken; 1 one was not taken in time;
// 2 bad arguments or an I/O error.

#include <fcntl.h>
#include <linux/input.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/fd.h"
#include "core/standin.h"

using testbed::catchStopSignals;
using testbed::nowMs;
using testbed::sleepMs;
using testbed::stopRequested;

namespace {

constexpr int kTaken = 0;
constexpr int kNotTaken = 1;
constexpr int kUsage = 2;
constexpr long kPollMicros = 2000;

using testbed::Fd;

// Parses a whole decimal number within [lo, hi].
bool parseNumber(const char* text, long lo, long hi, long& out) {
    if (*text == '\0') return false;
    errno = 0;
    char* end = nullptr;
    long v = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    out = v;
    return true;
}

// Parses "TYPE:CODE:VALUE".
bool parseRecord(const char* text, input_event& ev) {
    char copy[64];
    if (strlen(text) >= sizeof copy) return false;
    strcpy(copy, text);
    char* fields[3] = {};
    char* rest = copy;
    for (int i = 0; i < 3; ++i) {
        fields[i] = rest;
        char* colon = strchr(rest, ':');
        if (i < 2) {
            if (colon == nullptr) return false;
            *colon = '\0';
            rest = colon + 1;
        } else if (colon != nullptr) {
            return false;
        }
    }
    long type = 0, code = 0, value = 0;
    if (!parseNumber(fields[0], 0, UINT16_MAX, type) || !parseNumber(fields[1], 0, UINT16_MAX, code) ||
        !parseNumber(fields[2], INT32_MIN, INT32_MAX, value))
        return false;
    memset(&ev, 0, sizeof ev);
    timeval tv{};
    gettimeofday(&tv, nullptr);
    ev.input_event_sec = tv.tv_sec;
    ev.input_event_usec = tv.tv_usec;
    ev.type = static_cast<uint16_t>(type);
    ev.code = static_cast<uint16_t>(code);
    ev.value = static_cast<int32_t>(value);
    return true;
}

// Parses "N:TYPE:CODE:VALUE", N the number of bytes of the record to write.
bool parsePart(const char* text, long& bytes, input_event& ev) {
    char count[16];
    const char* colon = strchr(text, ':');
    if (colon == nullptr || static_cast<size_t>(colon - text) >= sizeof count) return false;
    memcpy(count, text, static_cast<size_t>(colon - text));
    count[colon - text] = '\0';
    return parseNumber(count, 1, static_cast<long>(sizeof ev) - 1, bytes) && parseRecord(colon + 1, ev);
}

// Deadline limitMs from now; a limit of 0 never comes (the virtual board holds its device for good).
long long deadlineAfter(long limitMs) { return limitMs == 0 ? LLONG_MAX : nowMs() + limitMs; }

// Waits until nothing written is left in the FIFO; false after limitMs or a stop request.
bool waitTaken(int fd, long limitMs) {
    long long deadline = deadlineAfter(limitMs);
    for (;;) {
        int left = 0;
        if (ioctl(fd, FIONREAD, &left) != 0) return false;
        if (left == 0) return true;
        if (stopRequested() || nowMs() >= deadline) return false;
        usleep(kPollMicros);
    }
}

bool writeAll(int fd, const void* data, size_t size) {
    // Below PIPE_BUF a FIFO write is whole or fails.
    ssize_t n = write(fd, data, size);
    return n == static_cast<ssize_t>(size);
}

void holdUntilStopped(long limitMs) {
    long long deadline = deadlineAfter(limitMs);
    while (!stopRequested() && nowMs() < deadline) sleepMs(100);
}

// A step as the loop below takes it; checked for all steps before the first runs.
bool validStep(const char* step) {
    long n = 0;
    input_event ev{};
    if (strcmp(step, "close") == 0) return true;
    if (strncmp(step, "sleep:", 6) == 0) return parseNumber(step + 6, 0, 3600000, n);
    if (strncmp(step, "part:", 5) == 0) return parsePart(step + 5, n, ev);
    return parseRecord(step, ev);
}

int usage() {
    fprintf(stderr,
            "usage: eventfeed [-t MS (0: no limit)] FIFO TYPE:CODE:VALUE|part:N:TYPE:CODE:VALUE|sleep:MS|close...\n");
    return kUsage;
}

}  // namespace

int main(int argc, char** argv) {
    long limitMs = 60000;
    int first = 1;
    if (argc > 2 && strcmp(argv[1], "-t") == 0) {
        if (!parseNumber(argv[2], 0, 3600000, limitMs)) return usage();
        first = 3;
    }
    if (first >= argc) return usage();
    const char* path = argv[first];
    for (int i = first + 1; i < argc; ++i) {
        if (!validStep(argv[i])) return usage();
    }

    catchStopSignals();
    signal(SIGPIPE, SIG_IGN);

    if (mkfifo(path, 0600) != 0 && errno != EEXIST) {
        fprintf(stderr, "eventfeed: mkfifo %s: %s\n", path, strerror(errno));
        return kUsage;
    }
    Fd fifo(open(path, O_RDWR | O_CLOEXEC));
    if (fifo.fd < 0) {
        fprintf(stderr, "eventfeed: open %s: %s\n", path, strerror(errno));
        return kUsage;
    }

    for (int i = first + 1; i < argc; ++i) {
        const char* step = argv[i];
        long n = 0;
        input_event ev{};
        if (strcmp(step, "close") == 0) {
            fifo.release();
            return kTaken;
        } else if (strncmp(step, "sleep:", 6) == 0) {
            if (!parseNumber(step + 6, 0, 3600000, n)) return usage();
            sleepMs(n);
            continue;
        } else if (strncmp(step, "part:", 5) == 0) {
            if (!parsePart(step + 5, n, ev)) return usage();
            if (!writeAll(fifo.fd, &ev, static_cast<size_t>(n))) return kUsage;
        } else if (parseRecord(step, ev)) {
            if (!writeAll(fifo.fd, &ev, sizeof ev)) return kUsage;
        } else {
            return usage();
        }
        if (!waitTaken(fifo.fd, limitMs)) {
            fprintf(stderr, "eventfeed: step %s not taken\n", step);
            return kNotTaken;
        }
    }
    holdUntilStopped(limitMs);
    return kTaken;
}
