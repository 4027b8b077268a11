// Runs the real quillon2 and quillon1 against the echo firmware stand-in on a
// pseudo-terminal published as /dev/ttyRPMSG inside a private /dev.

#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "echo_firmware.h"
#include "isolated.h"
#include "skip.h"

namespace {

const std::string kStartup = "Starting tests!\r\nopen: 3\r\n/dev/ttyRPMSG successfully initialized\r\n";
const std::string kNoDevice = "Starting tests!\r\nerror -1\r\n";

// Exit codes of the isolated child besides the program's own.
constexpr int kBlocked = 200;     // still waiting after the firmware heard what it waited for
constexpr int kNeverEnded = 201;  // neither ended nor blocked as expected
constexpr int kNoFirmware = 202;
constexpr int kNoSeccomp = 203;  // seccomp filters cannot be installed here (qemu-user lacks them)

constexpr int kRunMs = 20000;

std::string bad(int tc, int step, int index) {
    char text[96];
    snprintf(text, sizeof text, "Received bad message.\r\nReceive request (tc-step-loop) %d-%d-%d.\r\n", tc, step,
             index);
    return text;
}

std::string shortRead(int tc, int step, int index) {
    char text[112];
    snprintf(text, sizeof text, "Receiving message was unsuccessful.\r\nReceive request (tc-step-loop) %d-%d-%d.\r\n",
             tc, step, index);
    return text;
}

// What the test child adds after the program's output: how many messages the firmware heard.
std::string heard(int count) { return "[firmware heard " + std::to_string(count) + "]\n"; }

// The firmware's number for message k of step s in test case c.
std::string q2(int tc, int step, int k) { return std::to_string((tc - 1) * 20 + (step - 1) * 10 + k); }

struct Scenario {
    const char* program;
    std::vector<std::string> firmware;  // echofw options besides the link
    int blockAfter = -1;                // expect the program to block once the firmware heard this many
    std::function<void()> beforeExec = {};
};

// Inside the isolated child: a private /dev whose /dev/ttyRPMSG is an echofw
// port, then the program. Returns the program's exit code (or kBlocked) and
// prints the firmware's message count after the program's output.
int runScenario(const Scenario& s) {
    testbed::privateDev();
    std::vector<std::string> args = s.firmware;
    args.insert(args.end(), {"--link", "/dev/ttyRPMSG"});
    testbed::Process fw;
    std::string port;
    if (!startFirmware(fw, args, port)) return kNoFirmware;
    testbed::Process program;
    testbed::StartOptions options;
    options.nullStdin = options.closeAbove2 = true;
    options.beforeExec = s.beforeExec;
    if (!testbed::start(program, {s.program}, options)) return kNeverEnded;
    int result = kNeverEnded;
    if (s.blockAfter >= 0) {
        // Once the firmware heard everything, a short grace shows the program waits instead of ending.
        if (waitHeard(fw, s.blockAfter, kRunMs) && !testbed::waitEnd(program, 300)) result = kBlocked;
        testbed::stop(program, SIGKILL, kRunMs);
    } else if (testbed::waitEnd(program, kRunMs)) {
        if (WIFEXITED(program.status)) result = WEXITSTATUS(program.status);
    } else {
        testbed::stop(program, SIGKILL, kRunMs);
    }
    testbed::stop(fw, SIGTERM, 5000);
    printf("%s", heard(heardCount(fw)).c_str());
    return result;
}

ChildResult run(const Scenario& s) {
    return runIsolated(
        kMountNs, [&] { return runScenario(s); }, 60000);
}

// The program alone, in a private /dev prepared by setUp.
ChildResult runBare(const char* program, const std::function<void()>& setUp) {
    return runIsolated(kMountNs, [&] {
        testbed::privateDev();
        setUp();
        testbed::Process p;
        testbed::StartOptions options;
        options.nullStdin = options.closeAbove2 = true;
        if (!testbed::start(p, {program}, options) || !testbed::waitEnd(p, kRunMs)) return kNeverEnded;
        return WIFEXITED(p.status) ? WEXITSTATUS(p.status) : kNeverEnded;
    });
}

// Makes every write to the port fail, the way a device that refuses data would.
void refuseWritesToPort() {
#if defined(__aarch64__)
    constexpr unsigned kArch = AUDIT_ARCH_AARCH64;
#elif defined(__x86_64__)
    constexpr unsigned kArch = AUDIT_ARCH_X86_64;
#else
#error "add this machine's audit architecture"
#endif
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_write, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),  // low half: little-endian
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 3, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog prog{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) _exit(kNeverEnded);
    if (syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &prog) != 0) _exit(errno == ENOSYS ? kNoSeccomp : kNeverEnded);
}

}  // namespace

TEST(Quillon2WithoutDevice, PrintsTheOpenErrorAndExits255) {
    auto r = runBare(KIT_QUILLON2, [] {});
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.out, kNoDevice);
}

TEST(Quillon2WithoutDevice, ReportsTheDescriptorWhenThePortIsNoTerminal) {
    auto r = runBare(KIT_QUILLON2, [] {
        if (symlink("/dev/null", "/dev/ttyRPMSG") != 0) _exit(kNoFirmware);
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.out, "Starting tests!\r\nopen: 3\r\nerror 3\r\n");
}

namespace {

// One run of a plan against the firmware: what the program ends with (its
// exit code, or kBlocked when it waits on) and what it prints after its
// start-up lines, then how many messages the firmware heard. A bad echo
// ends quillon2 at the test case, step and index of that message; the
// firmware has heard all of the test case by then, and test case two
// nothing when it was in one.
struct EchoRun {
    const char* name;
    const char* program;
    std::vector<std::string> firmware;
    int blockAfter;  // -1: the program must end by itself
    int exitCode;
    std::string after;
};

// A failing row reads as its name, not as a dump of its bytes.
void PrintTo(const EchoRun& run, std::ostream* os) { *os << run.name; }

// A run that ends by itself: status 0 and only the firmware's count, or
// status 255 and the program's report before it.
EchoRun passes(const char* name, const char* program, std::vector<std::string> firmware, int count) {
    return {name, program, std::move(firmware), -1, 0, heard(count)};
}
EchoRun fails(const char* name, const char* program, std::vector<std::string> firmware, const std::string& report,
              int count) {
    return {name, program, std::move(firmware), -1, 255, report + heard(count)};
}
// A run that still waits once the firmware heard count messages and has
// printed nothing after its start-up lines.
EchoRun waits(const char* name, const char* program, std::vector<std::string> firmware, int count) {
    return {name, program, std::move(firmware), count, kBlocked, heard(count)};
}

const char* const kQ2 = KIT_QUILLON2;
const char* const kQ1 = KIT_QUILLON1;

const EchoRun kEchoRuns[] = {
    passes("Quillon2GoodFirmwareRunsBothTestCasesAndExitsZero", kQ2, {}, 40),
    passes("Quillon2IgnoresStaleBytesWaitingInThePortAtOpen", kQ2, {"--stale", "7"}, 40),
    passes("Quillon2IgnoresAStaleWholeMessageOfAnInterruptedRun", kQ2, {"--stale", "45"}, 40),
    fails("Quillon2BadEchoNamesTestCaseStepAndIndex", kQ2, {"--corrupt", q2(2, 2, 3)}, bad(2, 2, 3), 40),
    fails("Quillon2BadEchoInTestCaseOneStopsBeforeTestCaseTwo", kQ2, {"--corrupt", q2(1, 1, 0)}, bad(1, 1, 0), 20),
    fails("Quillon2BadLastByteOfAMessage", kQ2, {"--corrupt", q2(1, 2, 9) + ":44"}, bad(1, 2, 9), 20),
    fails("Quillon2SeveralBadBytesGiveTheSameText", kQ2,
          {"--corrupt", q2(2, 1, 5) + ":3", "--corrupt", q2(2, 1, 5) + ":30"}, bad(2, 1, 5), 40),
    // The next message arrives in the dropped one's place.
    fails("Quillon2DroppedEchoIsABadMessage", kQ2, {"--drop", q2(1, 2, 4)}, bad(1, 2, 4), 20),
    // A short read fails even though the rest follows.
    fails("Quillon2ShortReadIsAReceiveFailure", kQ2, {"--split", q2(1, 2, 2)}, shortRead(1, 2, 2), 20),
    fails("Quillon2ShortReadInTestCaseTwoNamesTestCaseTwo", kQ2, {"--split", q2(2, 1, 0) + ":44"}, shortRead(2, 1, 0),
          40),
    waits("Quillon2SilentFirmwareWaitsInTheFirstRead", kQ2, {"--silent"}, 20),
    waits("Quillon2WaitsForTheLastEchoOfATestCaseWhenItIsDropped", kQ2, {"--drop", q2(1, 2, 9)}, 20),
    passes("Quillon1GoodFirmwareSendsTwelveMessagesAndExitsZero", kQ1, {"--stale", "30"}, 12),
    fails("Quillon1BadEchoNamesTheLastMessageOfItsOnlyStep", kQ1, {"--corrupt", "11:20"}, bad(1, 1, 11), 12),
    fails("Quillon1ShortReadIsAReceiveFailureAtThatIndex", kQ1, {"--split", "5:1"}, shortRead(1, 1, 5), 12),
    waits("Quillon1SilentFirmwareWaitsAfterSendingTwelveMessages", kQ1, {"--silent"}, 12),
};

}  // namespace

class EchoPlan : public ::testing::TestWithParam<EchoRun> {};

TEST_P(EchoPlan, EndsAsTheFirmwareMakesIt) {
    const EchoRun& c = GetParam();
    Scenario s{c.program, c.firmware};
    s.blockAfter = c.blockAfter;
    auto r = run(s);
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, c.exitCode);
    EXPECT_EQ(r.out, kStartup + c.after);
}

INSTANTIATE_TEST_SUITE_P(Firmware, EchoPlan, ::testing::ValuesIn(kEchoRuns),
                         [](const ::testing::TestParamInfo<EchoRun>& param) { return std::string(param.param.name); });

TEST(Quillon2RefusedWrite, ReportsTheSendFailureOfTheFirstMessageAndReadsNothing) {
    Scenario s{KIT_QUILLON2, {}};
    s.beforeExec = refuseWritesToPort;
    auto r = run(s);
    SKIP_IF_NO_NAMESPACES(r);
    if (r.exitCode == kNoSeccomp)
        GTEST_SKIP() << "needs seccomp filters to refuse the writes; user-mode emulation has none";
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.out,
              kStartup + "Sending message was unsuccessful.\r\nSend request (tc-step-loop) 1-1-0.\r\n" + heard(0));
}

TEST(Quillon1WithoutDevice, PrintsTheOpenErrorAndExits255) {
    auto r = runBare(KIT_QUILLON1, [] {});
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.out, kNoDevice);
}
