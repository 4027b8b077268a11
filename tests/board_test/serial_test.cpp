#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "child_checks.h"
#include "core/fd.h"
#include "core/pty_line.h"
#include "entries.h"
#include "expect.h"
#include "isolated.h"
#include "skip.h"
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

// Runs body in a child with a private /dev, whose fresh devpts numbers the
// simulated ports /dev/pts/0, /dev/pts/1, ... The lines are made in the child:
// threads must not exist before a fork.
ChildResult withLines(int count, LineMode mode, const std::function<int(PtyLines&)>& body) {
    return runIsolated(kMountNs, [&] {
        testbed::privateDev();
        PtyLines lines(count, mode);
        if (!lines.ok()) return 98;
        return body(lines);
    });
}

std::string pts(int i) { return "/dev/pts/" + std::to_string(i); }

int pingPort(PtyLines&) { return testPortPing("/dev/pts/0") ? 0 : 1; }

}  // namespace

TEST(PortPing, PortThatHearsItselfPasses) {
    auto r = withLines(1, LineMode::Loopback, [](PtyLines& line) {
        ChildChecks c;
        c.check(testPortPing("/dev/pts/0"), "the ping passes");
        c.check(line.bytesSent() == 9, "the port sent the 9-byte probe once");
        return c.exitCode();
    });
    SKIP_IF_NO_NAMESPACES(r);
    std::string port = pts(0);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(expect::entries(r.out),
              expect::entries(setup(port) + reading(port) + writing(port) + content(9, "12 34 56")));
}

TEST(PortPing, GarbledEchoFailsWithTheMismatchMessage) {
    auto r = withLines(1, LineMode::Garbage, pingPort);
    SKIP_IF_NO_NAMESPACES(r);
    std::string port = pts(0);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(expect::entries(r.out), expect::entries(setup(port) + reading(port) + writing(port) +
                                                      content(9, "k2 34 56") + mismatch(9, "k2 34 56")));
}

TEST(PortPing, FirstReadShorterThanTheProbeFailsEvenWhenTheRestFollows) {
    auto r = withLines(1, LineMode::Partial, pingPort);
    SKIP_IF_NO_NAMESPACES(r);
    std::string port = pts(0);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(expect::entries(r.out),
              expect::entries(setup(port) + reading(port) + writing(port) + content(4, "12 3") + mismatch(4, "12 3")));
}

TEST(PortPing, SilentPortTimesOutAfterThePauseAndThirtyPolls) {
    auto start = Clock::now();
    auto r = withLines(1, LineMode::Silent, pingPort);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    SKIP_IF_NO_NAMESPACES(r);
    std::string port = pts(0);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_GE(seconds, 3.9);
    EXPECT_LT(seconds, 10.0);
    EXPECT_EQ(expect::entries(r.out), expect::entries(setup(port) + reading(port) + writing(port) + kTimedOut));
}

TEST(PortPing, TimedOutReaderIsCancelledAndClosesItsPort) {
    auto r = withLines(1, LineMode::Silent, [](PtyLines&) {
        int before = openFds();
        if (testPortPing("/dev/pts/0")) return 1;
        // The cancelled reader ends at its blocking read; give it a bounded moment.
        for (int i = 0; i < 200 && openFds() != before; ++i) usleep(10000);
        return openFds() == before ? 0 : 2;
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
}

TEST(PortPing, FailingSetUpStartsNoReaderAndWritesNothing) {
    auto r = runIsolated(0, [] { return testPortPing("/nonexistent/tty") ? 1 : 0; });
    EXPECT_EQ(r.exitCode, 0);
    std::string cmd = "stty -F /nonexistent/tty 9600 raw -echo -echoe -echok > /dev/null";
    EXPECT_EQ(r.out, setup("/nonexistent/tty") + expect::error("testPortPing", "System call [" + cmd + "] error\n"));
}

TEST(PortPing, PortPathTooLongForTheCommandIsRefused) {
    std::string port = "/dev/" + std::string(80, 'p');
    auto r = runIsolated(0, [&] { return testPortPing(port.c_str()) ? 1 : 0; });
    EXPECT_EQ(r.exitCode, 0);
    std::string cmd = "stty -F " + port + " 9600 raw -echo -echoe -echok > /dev/null";
    EXPECT_EQ(r.out, expect::error("testPortPing", "Command too long [" + cmd.substr(0, 127) + "]\n"));
}

TEST(PortPing, ReaderThatCannotBeStartedIsReportedAndFailsThePort) {
    auto r = withLines(1, LineMode::Loopback, [](PtyLines&) {
        // A default stack no mapping can hold makes every later thread creation fail.
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, size_t{1} << 50);
        pthread_setattr_default_np(&attr);
        return testPortPing("/dev/pts/0") ? 1 : 0;
    });
    SKIP_IF_NO_NAMESPACES(r);
    std::string port = pts(0);
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
    auto r = runIsolated(0, [] { return testPort(nullptr, 0) ? 0 : 1; });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
}

TEST(CrossPorts, SinglePortIsSetUpAndWrittenWithNobodyReading) {
    auto r = withLines(1, LineMode::Silent, [](PtyLines&) {
        const char* ports[] = {"/dev/pts/0"};
        return testPort(ports, 1) ? 0 : 1;
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, expect::info("testPort", "Setup port [stty -F /dev/pts/0 115200 raw -echo -echoe -echok]\n") +
                         expect::info("testPort", "Writing port [echo -n 12 34 56 > /dev/pts/0]\n"));
}

TEST(CrossPorts, EveryPortHearsEveryOtherOnAWiredBus) {
    auto r = withLines(3, LineMode::Bus, [](PtyLines& bus) {
        const char* ports[] = {"/dev/pts/0", "/dev/pts/1", "/dev/pts/2"};
        ChildChecks c;
        c.check(testPort(ports, 3), "every port hears every other");
        c.check(bus.bytesSent() == 3 * 8, "each port sent its 8 bytes once");
        return c.exitCode();
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    std::string want;
    for (int p = 0; p < 3; ++p)
        want += expect::info("testPort", "Setup port [stty -F " + pts(p) + " 115200 raw -echo -echoe -echok]\n");
    for (int j = 0; j < 3; ++j) {
        want += expect::info("testPort", "Writing port [echo -n 12 34 56 > " + pts(j) + "]\n");
        for (int k = 0; k < 3; ++k) {
            if (k != j) want += reading(pts(k)) + content(8, "12 34 56");
        }
    }
    EXPECT_EQ(expect::entries(r.out), expect::entries(want));
}

TEST(CrossPorts, SilentReceiverTimesOutAndIsReportedPerTurn) {
    auto start = Clock::now();
    auto r = withLines(2, LineMode::Silent, [](PtyLines&) {
        const char* ports[] = {"/dev/pts/0", "/dev/pts/1"};
        return testPort(ports, 2) ? 1 : 0;
    });
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_GE(seconds, 1.9);  // one second per reader, two turns
    EXPECT_LT(seconds, 8.0);
    std::string want;
    for (int p = 0; p < 2; ++p)
        want += expect::info("testPort", "Setup port [stty -F " + pts(p) + " 115200 raw -echo -echoe -echok]\n");
    for (int j = 0; j < 2; ++j) {
        std::string rx = pts(1 - j);
        want += expect::info("testPort", "Writing port [echo -n 12 34 56 > " + pts(j) + "]\n") + reading(rx) +
                kTimedOut + expect::error("testPort", "Port [" + rx + "] rx failed\n");
    }
    EXPECT_EQ(expect::entries(r.out), expect::entries(want));
}

TEST(CrossPorts, FailingSetUpStopsBeforeLaterPorts) {
    auto r = withLines(1, LineMode::Bus, [](PtyLines&) {
        const char* ports[] = {"/nonexistent/tty", "/dev/pts/0"};
        return testPort(ports, 2) ? 1 : 0;
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    std::string cmd = "stty -F /nonexistent/tty 115200 raw -echo -echoe -echok";
    EXPECT_EQ(r.out, expect::info("testPort", "Setup port [" + cmd + "]\n") +
                         expect::error("testPort", "System call [" + cmd + "] error\n"));
}

namespace {

// Writes a line to the port in two pieces, as a UART's far end may hear it,
// then collects what comes back within limitMs; arrival times in ms.
struct Heard {
    std::string bytes;
    std::vector<long> at;
};
Heard sendInPieces(LineMode mode, const std::string& first, const std::string& rest, long limitMs) {
    Heard h;
    PtyLines lines(1, mode);
    testbed::Fd owner(lines.ok() ? open(lines.path(0).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC) : -1);
    const int port = owner.fd;
    termios t;
    if (port < 0 || tcgetattr(port, &t) != 0) return h;
    cfmakeraw(&t);
    tcsetattr(port, TCSANOW, &t);
    auto start = Clock::now();
    auto ms = [&] { return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(); };
    bool sent = write(port, first.data(), first.size()) == static_cast<ssize_t>(first.size());
    for (int i = 0; sent && i < 200 && lines.bytesSent() < static_cast<long>(first.size()); ++i) usleep(1000);
    sent = sent && write(port, rest.data(), rest.size()) == static_cast<ssize_t>(rest.size());
    while (sent && h.bytes.size() < first.size() + rest.size() && ms() < limitMs) {
        pollfd p{port, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        char buf[64];
        ssize_t n = read(port, buf, sizeof buf);
        if (n <= 0) break;
        h.bytes.append(buf, static_cast<size_t>(n));
        h.at.insert(h.at.end(), static_cast<size_t>(n), ms());
    }
    return h;
}

}  // namespace

// The faults belong to the line: a line heard in pieces changes as a whole one does.
TEST(SimulatedLine, GarbleAndPauseActOnEachLineNotOnEachPiece) {
    Heard garbled = sendInPieces(LineMode::Garbage, "1", "2 34 56\n12 34 56\n", 2000);
    EXPECT_EQ(garbled.bytes, "k2 34 56\nk2 34 56\n");
    // An empty line is a line too: its newline is garbled and the next line starts after it.
    Heard empty = sendInPieces(LineMode::Garbage, "\n", "12 34 56\n", 2000);
    EXPECT_EQ(empty.bytes, "Pk2 34 56\n");

    Heard partial = sendInPieces(LineMode::Partial, "12", " 34 56\n", 2000);
    ASSERT_EQ(partial.bytes, "12 34 56\n");
    // The first four bytes arrive together, the fifth only after the pause.
    EXPECT_LT(partial.at[3], 200);
    EXPECT_GE(partial.at[4] - partial.at[3], 250);
}
