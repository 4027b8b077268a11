#include <gtest/gtest.h>

#include <dirent.h>
#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "core/isolate.h"
#include "core/pty_line.h"
#include "entries.h"
#include "expect.h"
#include "tests/serial.h"

using testbed::LineMode;
using testbed::PtyLines;

namespace {

using Clock = std::chrono::steady_clock;

std::string setup(const std::string& port) {
    return expect::info("testPortPing", "Setup port [stty -F " + port + " 9600 raw -echo -echoe -echok > /dev/null]\n");
}
std::string writing(const std::string& port) {
    return expect::info("testPortPing", "Writing port [echo \"12 34 56\"> " + port + "]\n");
}
std::string reading(const std::string& port) { return expect::info("testPortThread", "Reading port [" + port + "]\n"); }
std::string content(int n, const std::string& text) {
    return expect::info("testPortThread", "Reading port content [" + std::to_string(n) + "] [" + text + "]\n");
}
std::string mismatch(int n, const std::string& text) {
    return expect::error("testPortThread", "Port content mismatch [" + std::to_string(n) + "] [" + text + "]\n");
}
const std::string kTimedOut = expect::error("executionWait", "Task timed-out\n");

int openFds() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n;
}

struct PingRun {
    testbed::ChildResult child;
    double seconds;
};

PingRun ping(LineMode mode) {
    PtyLines line(1, mode);
    EXPECT_TRUE(line.ok());
    std::string port = line.path(0);
    auto start = Clock::now();
    auto r = testbed::runIsolated(0, [&] { return testPortPing(port.c_str()) ? 0 : 1; });
    return {r, std::chrono::duration<double>(Clock::now() - start).count()};
}

}  // namespace

TEST(PortPing, PortThatHearsItselfPasses) {
    PtyLines line(1, LineMode::Loopback);
    ASSERT_TRUE(line.ok());
    std::string port = line.path(0);
    auto r = testbed::runIsolated(0, [&] { return testPortPing(port.c_str()) ? 0 : 1; });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(expect::entries(r.out),
              expect::entries(setup(port) + reading(port) + writing(port) + content(9, "12 34 56")));
    EXPECT_EQ(line.bytesSent(), 9);
}

TEST(PortPing, GarbledEchoFailsWithTheMismatchMessage) {
    PtyLines line(1, LineMode::Garbage);
    std::string port = line.path(0);
    auto r = testbed::runIsolated(0, [&] { return testPortPing(port.c_str()) ? 0 : 1; });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(expect::entries(r.out), expect::entries(setup(port) + reading(port) + writing(port) +
                                                      content(9, "k2 34 56") + mismatch(9, "k2 34 56")));
}

TEST(PortPing, FirstReadShorterThanTheProbeFailsEvenWhenTheRestFollows) {
    PtyLines line(1, LineMode::Partial);
    std::string port = line.path(0);
    auto r = testbed::runIsolated(0, [&] { return testPortPing(port.c_str()) ? 0 : 1; });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(expect::entries(r.out),
              expect::entries(setup(port) + reading(port) + writing(port) + content(4, "12 3") + mismatch(4, "12 3")));
}

TEST(PortPing, SilentPortTimesOutAfterThePauseAndThirtyPolls) {
    auto run = ping(LineMode::Silent);
    EXPECT_EQ(run.child.exitCode, 1);
    EXPECT_GE(run.seconds, 3.9);
    EXPECT_LT(run.seconds, 10.0);
    // A port path as the PtyLines made it: recover it from the set-up entry.
    std::string out = run.child.out;
    size_t a = out.find("stty -F ") + 8;
    std::string port = out.substr(a, out.find(' ', a) - a);
    EXPECT_EQ(expect::entries(out), expect::entries(setup(port) + reading(port) + writing(port) + kTimedOut));
}

TEST(PortPing, TimedOutReaderIsCancelledAndClosesItsPort) {
    PtyLines line(1, LineMode::Silent);
    std::string port = line.path(0);
    auto r = testbed::runIsolated(0, [&] {
        int before = openFds();
        if (testPortPing(port.c_str())) return 1;
        // The cancelled reader ends at its blocking read; give it a bounded moment.
        for (int i = 0; i < 200 && openFds() != before; ++i) usleep(10000);
        return openFds() == before ? 0 : 2;
    });
    EXPECT_EQ(r.exitCode, 0);
}

TEST(PortPing, FailingSetUpStartsNoReaderAndWritesNothing) {
    auto r = testbed::runIsolated(0, [] { return testPortPing("/nonexistent/tty") ? 1 : 0; });
    EXPECT_EQ(r.exitCode, 0);
    std::string cmd = "stty -F /nonexistent/tty 9600 raw -echo -echoe -echok > /dev/null";
    EXPECT_EQ(r.out, setup("/nonexistent/tty") + expect::error("testPortPing", "System call [" + cmd + "] error\n"));
}

TEST(PortPing, PortPathTooLongForTheCommandIsRefused) {
    std::string port = "/dev/" + std::string(80, 'p');
    auto r = testbed::runIsolated(0, [&] { return testPortPing(port.c_str()) ? 1 : 0; });
    EXPECT_EQ(r.exitCode, 0);
    std::string cmd = "stty -F " + port + " 9600 raw -echo -echoe -echok > /dev/null";
    EXPECT_EQ(r.out, expect::error("testPortPing", "Command too long [" + cmd.substr(0, 127) + "]\n"));
}

TEST(PortPing, ReaderThatCannotBeStartedIsReportedAndFailsThePort) {
    PtyLines line(1, LineMode::Loopback);
    std::string port = line.path(0);
    auto r = testbed::runIsolated(0, [&] {
        // A default stack no mapping can hold makes every thread creation fail.
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, size_t{1} << 46);
        pthread_setattr_default_np(&attr);
        return testPortPing(port.c_str()) ? 1 : 0;
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, setup(port) + expect::error("testPortPing", "Can't start reader for port " + port + "\n") +
                         writing(port));
}

TEST(ReaderChecks, ContentIsCutAtTheLastNewlineAndJudgedOnItsFirstEightBytes) {
    struct Case {
        const char* data;
        int n;
        const char* cut;
        bool pass;
    } cases[] = {
        {"12 34 56\n", 9, "12 34 56", true},
        {"12 34 56 and more", 17, "12 34 56 and more", true},
        {"12 34 56\n12 34 56\n", 18, "12 34 56\n12 34 56", true},
        {"x12 34 56\n", 10, "x12 34 56", false},
        {"12 34 5", 7, "12 34 5", false},
        {"", 0, "", false},
    };
    for (const Case& c : cases) {
        char buffer[64] = {};
        memcpy(buffer, c.data, static_cast<size_t>(c.n));
        cutAtLastNewline(buffer, c.n);
        EXPECT_STREQ(buffer, c.cut) << c.data;
        EXPECT_EQ(isProbeEcho(buffer, c.n), c.pass) << c.data;
    }
    char empty[64] = {};
    EXPECT_FALSE(isProbeEcho(empty, -1));
}

TEST(CrossPorts, EmptyListDoesNothingAndPasses) {
    auto r = testbed::runIsolated(0, [] { return testPort(nullptr, 0) ? 0 : 1; });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
}

TEST(CrossPorts, SinglePortIsSetUpAndWrittenWithNobodyReading) {
    PtyLines line(1, LineMode::Silent);
    std::string port = line.path(0);
    auto r = testbed::runIsolated(0, [&] {
        const char* ports[] = {port.c_str()};
        return testPort(ports, 1) ? 0 : 1;
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, expect::info("testPort", "Setup port [stty -F " + port + " 115200 raw -echo -echoe -echok]\n") +
                         expect::info("testPort", "Writing port [echo -n 12 34 56 > " + port + "]\n"));
}

TEST(CrossPorts, EveryPortHearsEveryOtherOnAWiredBus) {
    PtyLines bus(3, LineMode::Bus);
    ASSERT_TRUE(bus.ok());
    std::vector<std::string> paths = {bus.path(0), bus.path(1), bus.path(2)};
    auto r = testbed::runIsolated(0, [&] {
        const char* ports[] = {paths[0].c_str(), paths[1].c_str(), paths[2].c_str()};
        return testPort(ports, 3) ? 0 : 1;
    });
    EXPECT_EQ(r.exitCode, 0);
    std::string want;
    for (const std::string& p : paths)
        want += expect::info("testPort", "Setup port [stty -F " + p + " 115200 raw -echo -echoe -echok]\n");
    for (size_t j = 0; j < 3; ++j) {
        want += expect::info("testPort", "Writing port [echo -n 12 34 56 > " + paths[j] + "]\n");
        for (size_t k = 0; k < 3; ++k) {
            if (k != j) want += reading(paths[k]) + content(8, "12 34 56");
        }
    }
    EXPECT_EQ(expect::entries(r.out), expect::entries(want));
    EXPECT_EQ(bus.bytesSent(), 3 * 8);
}

TEST(CrossPorts, SilentReceiverTimesOutAndIsReportedPerTurn) {
    PtyLines line(2, LineMode::Silent);
    std::vector<std::string> paths = {line.path(0), line.path(1)};
    auto start = Clock::now();
    auto r = testbed::runIsolated(0, [&] {
        const char* ports[] = {paths[0].c_str(), paths[1].c_str()};
        return testPort(ports, 2) ? 1 : 0;
    });
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_GE(seconds, 1.9);  // one second per reader, two turns
    EXPECT_LT(seconds, 8.0);
    std::string want;
    for (const std::string& p : paths)
        want += expect::info("testPort", "Setup port [stty -F " + p + " 115200 raw -echo -echoe -echok]\n");
    for (size_t j = 0; j < 2; ++j) {
        const std::string& rx = paths[1 - j];
        want += expect::info("testPort", "Writing port [echo -n 12 34 56 > " + paths[j] + "]\n") + reading(rx) +
                kTimedOut + expect::error("testPort", "Port [" + rx + "] rx failed\n");
    }
    EXPECT_EQ(expect::entries(r.out), expect::entries(want));
}

TEST(CrossPorts, FailingSetUpStopsBeforeLaterPorts) {
    PtyLines line(1, LineMode::Bus);
    std::string good = line.path(0);
    auto r = testbed::runIsolated(0, [&] {
        const char* ports[] = {"/nonexistent/tty", good.c_str()};
        return testPort(ports, 2) ? 1 : 0;
    });
    EXPECT_EQ(r.exitCode, 0);
    std::string cmd = "stty -F /nonexistent/tty 115200 raw -echo -echoe -echok";
    EXPECT_EQ(r.out, expect::info("testPort", "Setup port [" + cmd + "]\n") +
                         expect::error("testPort", "System call [" + cmd + "] error\n"));
}
