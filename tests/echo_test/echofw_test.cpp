// The echo firmware stand-in: its option parsing, how it shapes an echo, and
// the program itself on a pseudo-terminal.

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "child_checks.h"
#include "echo_firmware.h"
#include "echofw.h"
#include "isolated.h"
#include "skip.h"

namespace {

bool parse(std::vector<const char*> args, echofw::Config& config, std::string& error) {
    char text[160] = {};
    bool ok = echofw::parseArgs(args, config, text);
    error = text;
    return ok;
}

std::array<unsigned char, 45> message(unsigned char value) {
    std::array<unsigned char, 45> m;
    m.fill(value);
    return m;
}

// Reads what arrives within timeoutMs, up to want bytes.
std::string readFor(int fd, size_t want, int timeoutMs) {
    std::string got;
    while (got.size() < want) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) break;
        char chunk[256];
        ssize_t n = read(fd, chunk, std::min(sizeof chunk, want - got.size()));
        if (n <= 0) break;
        got.append(chunk, static_cast<size_t>(n));
    }
    return got;
}

// One read of up to n bytes once something is there (as the echo programs read); -1 when nothing came.
ssize_t readOnce(int fd, size_t n, int timeoutMs) {
    char buf[64];
    pollfd p{fd, POLLIN, 0};
    if (n > sizeof buf || poll(&p, 1, timeoutMs) <= 0) return -1;
    return read(fd, buf, n);
}

int openRaw(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    termios t;
    if (fd < 0 || tcgetattr(fd, &t) != 0) return -1;
    cfmakeraw(&t);
    cfsetospeed(&t, B115200);
    cfsetispeed(&t, B115200);
    return tcsetattr(fd, TCSANOW, &t) == 0 ? fd : -1;
}

}  // namespace

TEST(EchofwOptions, TakesFaultsWithTheirDefaultsAndExplicitArguments) {
    echofw::Config c;
    std::string error;
    ASSERT_TRUE(parse({"--link", "/dev/ttyRPMSG", "--stale", "7", "--corrupt", "33", "--corrupt", "5:44", "--split",
                       "12", "--split", "3:1", "--drop", "9", "--silent"},
                      c, error))
        << error;
    EXPECT_STREQ(c.link, "/dev/ttyRPMSG");
    EXPECT_EQ(c.staleBytes, 7);
    EXPECT_TRUE(c.silent);
    ASSERT_EQ(c.faultCount, 5);
    EXPECT_EQ(c.faults[0].message, 33);
    EXPECT_EQ(c.faults[0].arg, 0);
    EXPECT_EQ(c.faults[1].arg, 44);
    EXPECT_EQ(c.faults[2].arg, 20);
    EXPECT_EQ(c.faults[3].arg, 1);
    EXPECT_EQ(c.faults[4].kind, echofw::FaultKind::Drop);
}

TEST(EchofwOptions, TakesBothEndsOfARealChannel) {
    echofw::Config c;
    std::string error;
    ASSERT_TRUE(parse({"--device", "/dev/ttyACM0", "--watch", "/dev/ttyGS0", "--corrupt", "3"}, c, error)) << error;
    EXPECT_STREQ(c.device, "/dev/ttyACM0");
    EXPECT_STREQ(c.watch, "/dev/ttyGS0");
    EXPECT_EQ(c.faultCount, 1);
}

TEST(EchofwOptions, RefusesValuesThatDoNotFitOrAreNotNumbers) {
    const std::vector<std::vector<const char*>> bad = {
        {"--corrupt", "5:45"},
        {"--split", "5:0"},
        {"--split", "5:45"},
        {"--corrupt", "-1"},
        {"--drop", "3x"},
        {"--stale", "4001"},
        {"--corrupt", "99999999999"},
        {"--link"},
        {"--bogus", "1"},
        {"--corrupt", "1:2:3"},
        // A real channel needs both of its ends and has no link or stale bytes of its own.
        {"--device", "/dev/ttyACM0"},
        {"--watch", "/dev/ttyGS0"},
        {"--device", "/dev/ttyACM0", "--watch", "/dev/ttyGS0", "--link", "/tmp/x"},
        {"--device", "/dev/ttyACM0", "--watch", "/dev/ttyGS0", "--stale", "3"},
    };
    for (const auto& args : bad) {
        echofw::Config c;
        std::string error;
        EXPECT_FALSE(parse(args, c, error)) << args[0] << " " << (args.size() > 1 ? args[1] : "");
        EXPECT_FALSE(error.empty());
    }
}

TEST(EchofwShape, ReturnsOtherMessagesUnchangedAndWhole) {
    echofw::Config c;
    std::string error;
    ASSERT_TRUE(parse({"--corrupt", "4", "--split", "5"}, c, error));
    auto m = message(3);
    auto shape = echofw::shapeEcho(c, 3, m);
    EXPECT_TRUE(shape.send);
    EXPECT_EQ(shape.firstPiece, 45);
    EXPECT_EQ(m, message(3));
}

TEST(EchofwShape, InvertsEachChosenByteDropsAndSplits) {
    echofw::Config c;
    std::string error;
    ASSERT_TRUE(parse({"--corrupt", "4:0", "--corrupt", "4:44", "--drop", "6", "--split", "7:30"}, c, error));
    auto m = message(4);
    EXPECT_TRUE(echofw::shapeEcho(c, 4, m).send);
    auto expected = message(4);
    expected[0] = 0xFB;
    expected[44] = 0xFB;
    EXPECT_EQ(m, expected);
    auto d = message(6);
    EXPECT_FALSE(echofw::shapeEcho(c, 6, d).send);
    auto s = message(7);
    EXPECT_EQ(echofw::shapeEcho(c, 7, s).firstPiece, 30);
}

namespace {

void slowLine(termios& t) {
    cfsetospeed(&t, B9600);
    cfsetispeed(&t, B9600);
}

}  // namespace

TEST(EchofwSettingsCheck, AcceptsRaw115200AndRefusesAnythingElse) {
    termios raw{};
    cfmakeraw(&raw);
    cfsetospeed(&raw, B115200);
    cfsetispeed(&raw, B115200);
    struct Case {
        const char* what;
        void (*change)(termios&);
        bool speedHeld;  // false: a channel without a line speed (gadget serial, RPMsg tty)
        bool accepted;
    } cases[] = {
        {"raw at 115200", [](termios&) {}, true, true},
        {"raw at 9600", slowLine, true, false},
        {"raw at 9600 on a channel without a speed", slowLine, false, true},
        {"canonical at 9600 on a channel without a speed",
         [](termios& t) {
             slowLine(t);
             t.c_lflag |= ICANON;
         },
         false, false},
        {"canonical", [](termios& t) { t.c_lflag |= ICANON; }, true, false},
        {"newline translation", [](termios& t) { t.c_iflag |= INLCR; }, true, false},
        {"output processing", [](termios& t) { t.c_oflag |= OPOST; }, true, false},
        {"polling reads", [](termios& t) { t.c_cc[VMIN] = 0; }, true, false},
    };
    for (const Case& c : cases) {
        termios t = raw;
        c.change(t);
        EXPECT_EQ(echofw::isRawAt115200(t, c.speedHeld), c.accepted) << c.what;
    }
}

namespace {

// Runs body in a child with a private /dev and echofw started with args,
// and stops echofw afterwards; each failed check is named on stderr and
// counted in the child's exit code.
ChildResult withFirmware(const std::vector<std::string>& args,
                         const std::function<void(testbed::Process&, const std::string&, ChildChecks&)>& body) {
    return runIsolated(kMountNs, [&] {
        testbed::privateDev();
        testbed::Process fw;
        std::string port;
        ChildChecks checks;
        checks.check(startFirmware(fw, args, port), "echofw gets ready");
        if (checks.failed == 0) body(fw, port, checks);
        checks.check(stopFirmware(fw), "echofw ends with status 0 when stopped");
        return checks.exitCode();
    });
}

}  // namespace

TEST(EchofwProgram, LeavesStaleBytesWaitingForWhoeverOpensThePortWithoutFlushing) {
    auto r = withFirmware({"--stale", "7"}, [](testbed::Process&, const std::string& port, ChildChecks& checks) {
        int fd = openRaw(port);
        checks.check(fd >= 0, "the port opens");
        std::string got = readFor(fd, 64, 500);
        printf("%s\n", got == std::string(7, '\xA5') ? "stale" : got.c_str());
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "stale\n");
}

TEST(EchofwProgram, EchoesInOrderSplitsAndPublishesAndRemovesItsLink) {
    auto r = withFirmware({"--link", "/dev/ttyRPMSG", "--split", "1:10"}, [](testbed::Process& fw, const std::string&,
                                                                             ChildChecks& checks) {
        int fd = openRaw("/dev/ttyRPMSG");
        checks.check(fd >= 0, "the link opens the port");
        auto m0 = message(0);
        auto m1 = message(1);
        checks.check(write(fd, m0.data(), 45) == 45 && write(fd, m1.data(), 45) == 45, "two messages written");
        checks.check(waitHeard(fw, 2, 10000), "echofw reports both");
        // The first piece of message 1 comes alone; the rest only once that was read.
        ssize_t a = readOnce(fd, 45, 5000);
        ssize_t b = readOnce(fd, 45, 5000);
        ssize_t c = readOnce(fd, 45, 5000);
        printf("%zd %zd %zd\n", a, b, c);
        testbed::stop(fw, SIGTERM, 5000);  // its status is checked once the body is done
        printf("link %s\n", access("/dev/ttyRPMSG", F_OK) == 0 ? "left" : "gone");
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "45 10 35\nlink gone\n");
}

TEST(EchofwProgram, StaysSilentWhileThePortIsNotRawAt115200) {
    auto r = withFirmware({}, [](testbed::Process& fw, const std::string& port, ChildChecks& checks) {
        int fd = open(port.c_str(), O_RDWR | O_NOCTTY);
        termios t;
        checks.check(fd >= 0 && tcgetattr(fd, &t) == 0, "the port opens");
        cfmakeraw(&t);  // raw, but left at the default speed
        checks.check(tcsetattr(fd, TCSANOW, &t) == 0, "the port is made raw");
        auto m = message(0);
        checks.check(write(fd, m.data(), 45) == 45 && waitHeard(fw, 1, 10000), "echofw hears a message");
        printf("%zu\n", readFor(fd, 45, 300).size());
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "0\n");
}
