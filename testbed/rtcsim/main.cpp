// rtcsim: keeps a simulated RTC directory running.
//
//   rtcsim DIR [--irq-file PATH] [--frozen] [--no-irq] [--irq-step N]
//              [--start HH:MM:SS] [--limit-ms N]
//
// DIR/time steps each second (not with --frozen); a write to DIR/wakealarm
// changes the first count of PATH by N (default 1) about a second later
// (never with --no-irq). Ends on SIGTERM or SIGINT or after the limit
// (default 60000 ms).

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "rtcsim.h"

namespace {

bool parseLong(const char* text, long lo, long hi, long& out) {
    char* end = nullptr;
    long v = strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < lo || v > hi) return false;
    out = v;
    return true;
}

bool parseClock(const char* text, long& seconds) {
    unsigned h = 0, m = 0, s = 0;
    char extra = 0;
    if (sscanf(text, "%2u:%2u:%2u%c", &h, &m, &s, &extra) != 3 || h > 23 || m > 59 || s > 59) return false;
    seconds = static_cast<long>(h * 3600 + m * 60 + s);
    return true;
}

int usage() {
    fprintf(stderr,
            "usage: rtcsim DIR [--irq-file PATH] [--frozen] [--no-irq] [--irq-step N] "
            "[--start HH:MM:SS] [--limit-ms N]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    testbed::RtcSimOptions options;
    options.dir = argv[1];
    for (int i = 2; i < argc; ++i) {
        const char* arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        long n = 0;
        if (strcmp(arg, "--frozen") == 0) {
            options.frozen = true;
        } else if (strcmp(arg, "--no-irq") == 0) {
            options.raiseIrq = false;
        } else if (value == nullptr) {
            return usage();
        } else if (strcmp(arg, "--irq-file") == 0) {
            options.irqFile = value;
            ++i;
        } else if (strcmp(arg, "--irq-step") == 0 && parseLong(value, -1000000, 1000000, n)) {
            options.irqStep = static_cast<int>(n);
            ++i;
        } else if (strcmp(arg, "--start") == 0 && parseClock(value, n)) {
            options.startSeconds = n;
            ++i;
        } else if (strcmp(arg, "--limit-ms") == 0 && parseLong(value, 1, 86400000, n)) {
            options.limitMs = n;
            ++i;
        } else {
            return usage();
        }
    }
    return testbed::runRtcSim(options);
}
