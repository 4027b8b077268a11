#include "launch.h"

#include <signal.h>

#include <cstdio>

#include "core/standin.h"

namespace echofw {
namespace {

// Takes in the event lines that arrived since the last look.
void takeEvents(Process& fw) {
    std::string line;
    while (testbed::waitLine(fw.proc, "", line, 0)) {
        int32_t n = 0;
        if (line.rfind("ready ", 0) == 0) {
            fw.slave = line.substr(6);
        } else if (sscanf(line.c_str(), "rx %d", &n) == 1) {
            fw.received = n + 1;
        } else {
            fprintf(stderr, "echofw: unexpected event [%s]\n", line.c_str());
        }
    }
}

// Takes in events until done() or the time runs out.
template <typename Done>
bool waitEvents(Process& fw, int timeoutMs, Done done) {
    long long deadline = testbed::nowMs() + timeoutMs;
    for (;;) {
        takeEvents(fw);
        if (done()) return true;
        long long left = deadline - testbed::nowMs();
        if (left <= 0 || !fw.proc.running()) return false;
        testbed::pump(fw.proc, static_cast<int>(left));
    }
}

}  // namespace

bool start(Process& fw, const char* program, const std::vector<std::string>& args, int timeoutMs) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    testbed::StartOptions options;
    options.captureOut = true;
    if (testbed::start(fw.proc, argv, options) && waitEvents(fw, timeoutMs, [&] { return !fw.slave.empty(); }))
        return true;
    fprintf(stderr, "echofw: not ready\n");
    return false;
}

bool waitReceived(Process& fw, int32_t count, int timeoutMs) {
    return waitEvents(fw, timeoutMs, [&] { return fw.received >= count; });
}

int stop(Process& fw, int timeoutMs) {
    bool ended = testbed::stop(fw.proc, SIGTERM, timeoutMs);
    takeEvents(fw);
    return ended ? fw.proc.status : -1;
}

}  // namespace echofw
