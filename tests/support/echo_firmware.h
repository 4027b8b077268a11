#pragma once
// echofw started for a test: its port comes from its "ready" line, and the
// messages it heard are counted from its "rx N" lines, one a message.

#include <signal.h>

#include <string>
#include <vector>

#include "core/process.h"
#include "core/standin.h"

// False when it was not ready within 10 s.
inline bool startFirmware(testbed::Process& fw, const std::vector<std::string>& args, std::string& port) {
    std::vector<std::string> argv{KIT_ECHOFW};
    argv.insert(argv.end(), args.begin(), args.end());
    testbed::StartOptions options;
    options.captureOut = true;
    std::string line;
    if (!testbed::start(fw, argv, options) || !testbed::waitLine(fw, "ready ", line, 10000)) return false;
    port = line.substr(6);
    return true;
}

inline int heardCount(const testbed::Process& fw) {
    int count = 0;
    for (size_t at = 0, end; (end = fw.out.find('\n', at)) != std::string::npos; at = end + 1)
        count += fw.out.compare(at, 3, "rx ") == 0;
    return count;
}

inline bool waitHeard(testbed::Process& fw, int count, int timeoutMs) {
    long long deadline = testbed::nowMs() + timeoutMs;
    while (heardCount(fw) < count) {
        long long left = deadline - testbed::nowMs();
        if (left <= 0 || !fw.running()) return false;
        testbed::pump(fw, static_cast<int>(left));
    }
    return true;
}

// Asks it to stop; true when it ended in time with status 0.
inline bool stopFirmware(testbed::Process& fw) { return testbed::stop(fw, SIGTERM, 5000) && fw.status == 0; }
