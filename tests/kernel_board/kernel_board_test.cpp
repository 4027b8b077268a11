// The unmodified aarch64 programs on Debian's arm64 kernel under QEMU, with
// the kernel's own drivers playing the board (virtual-board/run --kernel).

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "board_run.h"
#include "buttons.h"
#include "core/process.h"
#include "entries.h"
#include "expect.h"
#include "isolated.h"
#include "relay_lines.h"
#include "routine_entries.h"
#include "sequence_faults.h"
#include "sequence_log.h"

namespace {

const std::string kRun = std::string(KIT_SOURCE_DIR) + "/virtual-board/run";
const std::string kArm = KIT_AARCH64_BUILD_DIR;
const std::string kCorvane = kArm + "/board_test/corvane";
const std::string kQuillon2 = kArm + "/echo_test/quillon2";
const std::string kQuillon1 = kArm + "/echo_test/quillon1";
const std::string kPylorn = kArm + "/relay_follower/pylorn";
const std::string& kStartUp = expect::kEchoStartUp;

const std::vector<std::string> kBoardEnv = {"KIT_BUILD_DIR=" + kArm,
                                            std::string("KIT_HOST_BUILD_DIR=") + KIT_BUILD_DIR};

// virtual-board/run --kernel with the faults, then argv.
std::vector<std::string> kernelCommand(const std::vector<std::string>& faults, const std::vector<std::string>& argv) {
    return boardCommand({kRun, "--kernel"}, faults, argv);
}

constexpr int kBoardLimitMs = 120000;

// Boots a kernel board with the given faults, runs argv on it, stdout captured.
BoardRun onKernelBoard(const std::vector<std::string>& faults, const std::vector<std::string>& argv) {
    return runBoard(kernelCommand(faults, argv), kBoardEnv, kBoardLimitMs);
}

// What the kernel board needs beyond the tests' own build.
std::string missingPart() {
    for (const std::string& p : {kCorvane, kQuillon2, kPylorn, kArm + "/testbed/echofw/echofw"}) {
        if (access(p.c_str(), X_OK) != 0) return p + " (./kit build aarch64)";
    }
    if (system("command -v qemu-system-aarch64 > /dev/null") != 0) return "qemu-system-aarch64 (./kit deps)";
    return "";
}

#define SKIP_WITHOUT_KERNEL_BOARD()                            \
    if (std::string missing = missingPart(); !missing.empty()) \
    GTEST_SKIP() << "the kernel board cannot be built here: missing " << missing

// The 16550A raises its interrupt at 8 bytes, so the reader's single read
// may end before the probe's newline; both reads pass.
std::string portReadOf(const std::string& out) {
    return out.find("Reading port content [8] [12 34 56]\n") != std::string::npos ? "[8] [12 34 56]" : "[9] [12 34 56]";
}

TEST(KernelBoard, CorvanePassesAllFiveTests) {
    SKIP_WITHOUT_KERNEL_BOARD();
    auto b = onKernelBoard({}, {kCorvane});
    EXPECT_EQ(b.status, 0);
    // The reader thread logs beside the writer, so entries are compared as a set.
    EXPECT_EQ(expect::entries(b.out), expect::entries(expect::goodSequence(portReadOf(b.out)) + expect::verdicts(-1)))
        << b.out;
    ASSERT_GE(b.out.size(), expect::verdicts(-1).size());
    EXPECT_EQ(b.out.substr(b.out.size() - expect::verdicts(-1).size()), expect::verdicts(-1));
}

class KernelBoardFault : public ::testing::TestWithParam<expect::SequenceFault> {};

TEST_P(KernelBoardFault, TurnsOnlyItsOwnVerdictRed) {
    SKIP_WITHOUT_KERNEL_BOARD();
    const expect::SequenceFault& c = GetParam();
    auto b = onKernelBoard({c.fault}, {kCorvane});
    EXPECT_EQ(b.status, 0);
    const std::string block = expect::verdicts(c.failed);
    ASSERT_GE(b.out.size(), block.size()) << b.out;
    EXPECT_EQ(b.out.substr(b.out.size() - block.size()), block) << b.out;
    bool seen = b.out.find(c.evidence) != std::string::npos ||
                (!c.orEvidence.empty() && b.out.find(c.orEvidence) != std::string::npos);
    EXPECT_TRUE(seen) << "expected " << c.evidence << " in\n" << b.out;
}

INSTANTIATE_TEST_SUITE_P(Faults, KernelBoardFault, ::testing::ValuesIn(expect::sequenceFaults(expect::Board::Kernel)),
                         expect::faultTestName);

// The program's output, its status, then how many messages the firmware received.
const char* const kEchoScript = "\"$0\"; s=$?; echo \"status $s\"; grep -c '^rx ' $KIT_STATE/echofw.log";

TEST(KernelBoardEcho, BothPlansPassAndTheFirmwareReceivedEveryMessage) {
    SKIP_WITHOUT_KERNEL_BOARD();
    struct {
        const std::string& program;
        const char* received;
    } plans[] = {{kQuillon2, "40\n"}, {kQuillon1, "12\n"}};
    for (const auto& p : plans) {
        auto b = onKernelBoard({}, {"sh", "-c", kEchoScript, p.program});
        EXPECT_EQ(b.out, kStartUp + "status 0\n" + p.received) << p.program;
        EXPECT_EQ(b.status, 0);
    }
}

// The firmware's faults through the real tty: each ends the program as it
// ends on the namespace board.
TEST(KernelBoardEcho, FirmwareFaultsEndTheProgramWithTheirOwnText) {
    SKIP_WITHOUT_KERNEL_BOARD();
    for (const expect::EchoFault& c : expect::echoFaults()) {
        auto b = onKernelBoard({c.fault}, expect::echoFaultCommand(c, kQuillon2, kQuillon1));
        EXPECT_EQ(b.status, c.status) << c.fault;
        EXPECT_EQ(b.out, kStartUp + c.after) << c.fault;
    }
}

TEST(KernelBoardRelays, RequestedInOrderWithTheirNamesStartInactiveAndFollowTheirInputs) {
    SKIP_WITHOUT_KERNEL_BOARD();
    // gpionotify sees each request as it happens; the pull attribute of a
    // gpio-sim line plays the input; each relay must follow within 200 ms.
    const char* script =
        "g=$KIT_GPIO_SYSFS; gpionotify -c /dev/gpiochip0 -e requested -F %o 3 4 5 6 8 9 10 11 > /tmp/order & n=$!; "
        "sleep 0.3; \"$0\" & p=$!; "
        "i=0; while [ $(wc -l < /tmp/order) -lt 8 ] && [ $i -lt 300 ]; do sleep 0.01; i=$((i+1)); done; "
        "kill $n; echo order $(cat /tmp/order); "
        "gpioinfo -c /dev/gpiochip0 3 4 5 6 8 9 10 11 | tr -s '\\t ' ' '; "
        "echo start $(cat $g/sim_gpio8/value $g/sim_gpio9/value $g/sim_gpio10/value $g/sim_gpio11/value); "
        "follow() { i=0; until [ $(cat $g/sim_gpio$1/value) = $2 ]; do "
        "  i=$((i+1)); [ $i -lt 20 ] || { echo late; return; }; sleep 0.01; done; printf %s $2; }; "
        "for pair in 6:8 5:9 4:10 3:11; do in=${pair%:*}; out=${pair#*:}; "
        "  echo pull-up > $g/sim_gpio$in/pull; follow $out 1; "
        "  echo pull-down > $g/sim_gpio$in/pull; follow $out 0; printf ' '; done; echo; kill $p";
    auto b = onKernelBoard({}, {"sh", "-c", script, kPylorn});
    EXPECT_EQ(b.status, 0);
    EXPECT_EQ(b.out, "order 8 9 10 11 6 5 4 3\n" + expect::heldRelayLines() + "start 0 0 0 0\n10 10 10 10 \n");
}

TEST(KernelBoardRelays, LineHeldByAnotherConsumerEndsTheFollowerWithItsError) {
    SKIP_WITHOUT_KERNEL_BOARD();
    auto b = onKernelBoard({"relay-busy"}, {"sh", "-c", "\"$0\" 2>&1", kPylorn});
    EXPECT_EQ(b.status, 1);
    EXPECT_EQ(b.out, expect::relayRequestFailed("Device or resource busy"));
}

// Runs cmd with its stdout and stderr going to files, as a caller's shell
// would hand them over; its wait status.
int runToFiles(const std::vector<std::string>& cmd, const std::string& out, const std::string& err,
               const std::vector<std::string>& env) {
    std::string line = "\"$0\"";
    for (size_t i = 1; i < cmd.size(); ++i) line += " \"${" + std::to_string(i) + "}\"";
    line += " > '" + out + "' 2> '" + err + "'";
    std::vector<std::string> argv = {"sh", "-c", line};
    argv.insert(argv.end(), cmd.begin(), cmd.end());
    return testbed::runProgram(argv, env);
}

TEST(KernelBoardRun, DeliversTheCommandsOutputErrorsAndStatusUnchanged) {
    SKIP_WITHOUT_KERNEL_BOARD();
    TempDir tmp;
    ASSERT_FALSE(tmp.path.empty());
    // Bytes a terminal or a line-based channel would change: NUL, CR, no final newline.
    auto cmd = kernelCommand({}, {"sh", "-c", "printf 'out\\0put\\r\\n  x'; printf 'err\\n' >&2; exit 7"});
    int st = runToFiles(cmd, tmp.path + "/out", tmp.path + "/err", kBoardEnv);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 7);
    EXPECT_EQ(testbed::readFile(tmp.path + "/out"), std::string("out\0put\r\n  x", 12));
    EXPECT_EQ(testbed::readFile(tmp.path + "/err"), "err\n");
}

TEST(KernelBoardRun, BoardThatDoesNotComeUpInTimeIsStoppedAndReported) {
    SKIP_WITHOUT_KERNEL_BOARD();
    TempDir tmp;
    ASSERT_FALSE(tmp.path.empty());
    // No board is ready one second after power-on: the bound must end the run.
    auto cmd = kernelCommand({}, {"true"});
    std::vector<std::string> env = kBoardEnv;
    env.push_back("KIT_BOARD_READY_SECONDS=1");
    auto start = std::chrono::steady_clock::now();
    int st = runToFiles(cmd, "/dev/null", tmp.path + "/err", env);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 125);
    EXPECT_LT(seconds, 10.0);
    EXPECT_EQ(testbed::readFile(tmp.path + "/err").rfind("kernel-board: the board was not ready within 1 s\n", 0), 0u)
        << testbed::readFile(tmp.path + "/err");
}

TEST(KernelBoardRun, TerminationSignalPowersTheBoardOffAndLeavesNothingBehind) {
    SKIP_WITHOUT_KERNEL_BOARD();
    TempDir tmp;
    ASSERT_FALSE(tmp.path.empty());
    const std::string marker = tmp.path + "/started";
    testbed::Process board;
    testbed::StartOptions options;
    options.addEnv = kBoardEnv;
    options.addEnv.push_back("TMPDIR=" + tmp.path);
    // The command tells the host it runs by writing where the host reads: its stdout.
    options.beforeExec = [&] {
        if (freopen(marker.c_str(), "w", stdout) == nullptr) _exit(127);
    };
    ASSERT_TRUE(testbed::start(board, kernelCommand({}, {"sh", "-c", "echo running; sleep 60"}), options));
    // Bounded: the board boots within a minute even on a busy machine.
    for (int i = 0; i < 600 && testbed::readFile(marker) != "running\n"; ++i) usleep(100000);
    ASSERT_EQ(testbed::readFile(marker), "running\n");
    // It must be off within 3 s.
    EXPECT_TRUE(testbed::stop(board, SIGTERM, 3000));
    // No QEMU of this board is left, and its run folder is gone.
    // The bracket keeps the probe's own shell, whose command line holds the pattern, from matching it.
    std::string probe = "pgrep -f '" + tmp.path + "/[k]ernel-board' > /dev/null";
    EXPECT_NE(system(probe.c_str()), 0);
    std::string left = "ls -A '" + tmp.path + "' | grep -v started > /dev/null";
    EXPECT_NE(system(left.c_str()), 0);
}

}  // namespace

// corvane's callable routines on the kernel's own drivers, through the
// routine program of the aarch64 build (tests/kernel_board/routine.cpp).
namespace {

const std::string kRoutine = kArm + "/tests/kernel_board/routine";

// Runs a shell script on the board with $R the routine program.
BoardRun routinesOnBoard(const std::string& script) {
    return onKernelBoard({}, {"sh", "-c", "R=$0; " + script, kRoutine});
}

// The text with each [HH:MM:SS] replaced by [T], for logs of a real clock.
std::string withoutTimes(std::string text) {
    for (size_t at = text.find('['); at != std::string::npos; at = text.find('[', at + 1)) {
        if (text.size() >= at + 10 && text[at + 3] == ':' && text[at + 6] == ':' && text[at + 9] == ']')
            text.replace(at, 10, "[T]");
    }
    return text;
}

#define SKIP_WITHOUT_ROUTINES()  \
    SKIP_WITHOUT_KERNEL_BOARD(); \
    if (access(kRoutine.c_str(), X_OK) != 0) GTEST_SKIP() << "missing " << kRoutine << " (./kit build aarch64)"

}  // namespace

TEST(KernelBoardRoutines, MemoryTestPassesOverTheBoardsFreeRamAndGivesTheBlockBack) {
    SKIP_WITHOUT_ROUTINES();
    auto b = routinesOnBoard(
        "free() { grep MemFree: /proc/meminfo | tr -s ' ' | cut -d' ' -f2; }; before=$(free); $R testMemory; "
        "after=$(free); echo $before $after");
    ASSERT_EQ(b.status, 0) << b.out;
    const std::string head = expect::info("testMemory", "Memtest checking [");
    ASSERT_EQ(b.out.rfind(head, 0), 0u) << b.out;
    size_t close = b.out.find("] bytes\nresult true\n");
    ASSERT_NE(close, std::string::npos) << b.out;
    long long bytes = std::stoll(b.out.substr(head.size(), close - head.size()));
    long long before = 0;
    long long after = 0;
    ASSERT_EQ(sscanf(b.out.c_str() + close + 20, "%lld %lld", &before, &after), 2) << b.out;
    // 80 % of what was free (the program itself takes a little), and all of it back afterwards.
    EXPECT_GT(bytes, before * 1024 * 7 / 10);
    EXPECT_LE(bytes, before * 1024 * 8 / 10);
    EXPECT_GT(after, before * 9 / 10);
}

TEST(KernelBoardRoutines, EthWithNoWayOutIsFalseWithoutAnErrorEntry) {
    SKIP_WITHOUT_ROUTINES();
    // The board's NICs sit on a QEMU hub joined to nothing: the ping cannot leave.
    auto b = routinesOnBoard("$R testEth eth0 2> /dev/null");
    EXPECT_EQ(b.status, 0);
    EXPECT_EQ(b.out, expect::info("testEth", "Testing [eth0] intereface\n") + expect::linkCheck("eth0") +
                         expect::info("testEth", "Executing [ping -I eth0 -c 2 8.8.8.8 > /dev/null]\n") +
                         "result false\n");
}

TEST(KernelBoardRoutines, RtcClockRunsItsAlarmRaisesTheInterruptCountAndANameMismatchFails) {
    SKIP_WITHOUT_ROUTINES();
    auto b = routinesOnBoard(
        "irq=$(grep rtc-pl031 /proc/interrupts | cut -d: -f1 | tr -d ' '); echo irq $irq; "
        "$R testRtc rtc0 rtc-pl031 1 $irq; $R testRtc rtc0 snvs 0 $irq");
    EXPECT_EQ(b.status, 0);
    int irq = -1;
    ASSERT_EQ(sscanf(b.out.c_str(), "irq %d", &irq), 1) << b.out;
    auto opening = [&](const std::string& name, int alarm) {
        return expect::info("testRtc", "Testing [rtc0] [" + name + "] RTC with alarm [" + std::to_string(alarm) +
                                           "] irq [" + std::to_string(irq) + "]\n");
    };
    // The wake alarm fires once: the count goes up by one.
    EXPECT_EQ(
        withoutTimes(b.out),
        "irq " + std::to_string(irq) + "\n" + opening("rtc-pl031", 1) + expect::info("testRtc", "RTC time 1 [T]\n") +
            expect::info("testRtc", "RTC time 2 [T]\n") + expect::info("testRtc", "CPU IRQ 1 [0]\n") +
            expect::info("testRtc", "CPU IRQ 2 [1]\n") + "result true\n" + opening("snvs", 0) +
            expect::error("testRtc", "RTC name mismatch [24] [rtc-pl031 9010000.pl031\n] [snvs]\n") + "result false\n");
    size_t t1 = b.out.find("RTC time 1 [");
    size_t t2 = b.out.find("RTC time 2 [");
    ASSERT_NE(t2, std::string::npos);
    EXPECT_LT(b.out.substr(t1 + 12, 8), b.out.substr(t2 + 12, 8)) << "the clock did not run";
}

// gpio-sim does not wire lines to each other, so each input follows its pull:
// a pulled-up input fails the low phase, a pulled-down one the high phase.
TEST(KernelBoardRoutines, PinPairsOnGpioSimFailOncePerPairAndLeaveEveryLineFree) {
    SKIP_WITHOUT_ROUTINES();
    auto b = routinesOnBoard(
        "echo pull-up > $KIT_GPIO_SYSFS/sim_gpio19/pull; $R pinPairs /dev/gpiochip0 16:19 17:20; "
        "gpioinfo -c /dev/gpiochip0 16 17 19 20 | tr -s '\\t ' ' '; "
        "gpioset -c /dev/gpiochip0 -C other-consumer 17=0 & h=$!; sleep 0.5; "
        "$R pinPairs /dev/gpiochip0 16:19 17:20; kill $h; $R pinPairs /dev/gpiochip9 16:19");
    EXPECT_EQ(b.status, 0);
    EXPECT_EQ(b.out,
              expect::error("pylorn", "Pin test failed in1 out1\n") +
                  expect::error("pylorn", "Pin test failed in2 out2\n") + "result false\n" +
                  "gpiochip0 16 unnamed input\ngpiochip0 17 unnamed input\n"
                  "gpiochip0 19 unnamed input\ngpiochip0 20 unnamed input\n" +
                  // A line another consumer holds cannot be taken.
                  expect::error("initGpioInput", "Init input: Failed close /dev/gpiochip0 in2 \n") + "result false\n" +
                  expect::error("initGpioInput", "Init input: Failed open /dev/gpiochip9 in1 \n") + "result false\n");
}

TEST(KernelBoardRoutines, WiredPortsHearEachOtherAndADeafPortFails) {
    SKIP_WITHOUT_ROUTINES();
    // ttybus1 to 3 are wired to one another; ttymxc1 hears only itself.
    auto b =
        routinesOnBoard("$R testPort /dev/ttybus1 /dev/ttybus2 /dev/ttybus3; $R testPort /dev/ttybus1 /dev/ttymxc1");
    EXPECT_EQ(b.status, 0);
    auto setup = [](const std::string& p) {
        return expect::info("testPort", "Setup port [stty -F " + p + " 115200 raw -echo -echoe -echok]\n");
    };
    auto writing = [](const std::string& p) {
        return expect::info("testPort", "Writing port [echo -n 12 34 56 > " + p + "]\n");
    };
    auto reading = [](const std::string& p) { return expect::info("testPortThread", "Reading port [" + p + "]\n"); };
    const std::string heard = expect::info("testPortThread", "Reading port content [8] [12 34 56]\n");
    const std::string b1 = "/dev/ttybus1", b2 = "/dev/ttybus2", b3 = "/dev/ttybus3", rs = "/dev/ttymxc1";
    std::string good = setup(b1) + setup(b2) + setup(b3);
    for (const auto& [from, r1, r2] : {std::tuple{b1, b2, b3}, std::tuple{b2, b1, b3}, std::tuple{b3, b1, b2}})
        good += writing(from) + reading(r1) + reading(r2) + heard + heard;
    std::string deaf =
        setup(b1) + setup(rs) + writing(b1) + reading(rs) + expect::error("executionWait", "Task timed-out\n") +
        expect::error("testPort", "Port [" + rs + "] rx failed\n") + writing(rs) + reading(b1) +
        expect::error("executionWait", "Task timed-out\n") + expect::error("testPort", "Port [" + b1 + "] rx failed\n");
    // Readers of a turn log side by side: compared as entries.
    EXPECT_EQ(expect::entries(b.out), expect::entries(good + "result true\n" + deaf + "result false\n")) << b.out;
    EXPECT_LT(b.out.find("result true\n"), b.out.find("result false\n"));
}

TEST(KernelBoardRoutines, CanControllersOnOneBusPassSilentBusAndReceiverDownFail) {
    SKIP_WITHOUT_ROUTINES();
    // The loop runs from an empty folder, where its capture file must be gone
    // afterwards. Not /tmp itself: a checkout under /tmp shows there too.
    // For testCan a partner on can1 answers the first frame it hears, ten
    // times 200 ms apart; then it is gone and the bus stays silent.
    auto b = routinesOnBoard(
        "cd \"$(mktemp -d)\"; $R testCanLoop can1 can0; ls -A; "
        "(candump -n 1 can1 > /dev/null; for i in 1 2 3 4 5 6 7 8 9 10; do cansend can1 123#123456; sleep 0.2; done) "
        "& p=$!; sleep 0.3; $R testCan can0; wait $p; $R testCan can0; "
        "ip link set can1 down; $R testCanLoop can1 can0");
    EXPECT_EQ(b.status, 0);
    using expect::calling, expect::callFailed;
    const std::string up1 = expect::canStateCheck("can1");
    const std::string up0 = expect::canStateCheck("can0");
    const std::string send = expect::canSend("can0");
    const std::string dump = expect::canListen("can0");
    EXPECT_EQ(b.out, calling(up1) + calling(up0) + calling(expect::kCanRemove) + calling(expect::canCapture("can1")) +
                         calling(expect::canGenerate("can0")) + calling(expect::kCanCompare) +
                         calling(expect::kCanRemove) + "result true\n" + calling(send) + calling(dump) +
                         "result true\n" + calling(send) + calling(dump) + callFailed(dump) + "result false\n" +
                         calling(up1) + callFailed(up1) + "result false\n");
}

// Buttons are key devices made through uinput; the feeder reports each key
// (the record and its sync) once the routine has opened the device (each
// opening is counted), so a record reaches exactly the opening it is meant for.
TEST(KernelBoardRoutines, ButtonsOnUinputKeyDevicesPassFailAndTimeOutAsTheyShould) {
    SKIP_WITHOUT_ROUTINES();
    const std::string feeder = kArm + "/testbed/eventfeed/eventfeed";
    const char* script =
        "F=$1; n=0; "
        "feed() { n=$((n+1)); k=$1; shift; $F uinput:$k \"$@\" > /tmp/feed$n 2>&1 & i=0; "
        "  until grep -q ready /tmp/feed$n || [ $i -gt 1000 ]; do sleep 0.01; i=$((i+1)); done; "
        "  dev=$(cut -d' ' -f2 /tmp/feed$n); }; "
        "feed 103 waitopen 1:103:1 0:0:0 waitopen 1:103:0 0:0:0; $R executeAndWait $dev:Up:103; "
        "feed 103,108 waitopen 1:108:1 0:0:0; $R executeAndWait $dev:Up:103; "
        "feed 103 waitopen 1:103:1 0:0:0 waitopen 1:103:2 0:0:0; $R executeAndWait $dev:Up:103; "
        "feed 103; $R executeAndWait $dev:Up:103; "
        "feed 103,108 waitopen 1:108:1 0:0:0; a=$dev; feed 108 waitopen 1:108:1 0:0:0 waitopen 1:108:0 0:0:0; "
        "$R executeAndWait $a:Up:103 $dev:Down:108";
    auto b = onKernelBoard({}, {"sh", "-c", std::string("R=$0; ") + script, kRoutine, feeder});
    EXPECT_EQ(b.status, 0);
    auto started = [](const std::string& name, int event, int code) {
        return expect::buttonStarted(name, "/dev/input/event" + std::to_string(event), code);
    };
    using expect::kButtonTimedOut, expect::wrongButton;
    using expect::pressPrompt, expect::releasePrompt;
    EXPECT_EQ(b.out,
              // pressed and released
              started("Up", 0, 103) + pressPrompt("Up") + releasePrompt("Up") + "result true\n" +
                  // another key first
                  started("Up", 1, 103) + pressPrompt("Up") + "\n" + wrongButton(108, 103) + "result false\n" +
                  // auto-repeat where the release should be
                  started("Up", 2, 103) + pressPrompt("Up") + releasePrompt("Up") + wrongButton(103, 103) +
                  "result false\n" +
                  // never pressed: the time-out ends the prompt's line
                  started("Up", 3, 103) + pressPrompt("Up") + kButtonTimedOut + "result false\n" +
                  // two buttons, the first failing: the second is still tested
                  started("Up", 4, 103) + pressPrompt("Up") + "\n" + wrongButton(108, 103) + started("Down", 5, 108) +
                  pressPrompt("Down") + releasePrompt("Down") + "result false\n");
}

// Wi-Fi on two mac80211_hwsim radios (wlan0 the board's, hostapd serving the
// factory network on wlan1) and Bluetooth on btvirt's hci_vhci controller
// with bluetoothd. The radios come up only for a board that asks for them
// (--with) or for one of their faults.
namespace {

struct RadioCase {
    std::string name;
    std::vector<std::string> options;  // virtual-board/run's --with and --fault
    std::string script;                // $R is the routine program
    std::string out;
};

void PrintTo(const RadioCase& c, std::ostream* os) {
    for (const std::string& o : c.options) *os << o << ' ';
}

std::string presence(const std::string& iface, bool found) {
    return expect::wlanPresence(iface) + (found ? "result true\n" : "result false\n");
}

std::string scan(const std::string& iface, bool found) {
    if (found) return expect::ssidSearch(iface) + "result true\n";
    return expect::ssidSearch(iface) + expect::ssidNotFound(iface) + "result false\n";
}

using expect::kSearchingHci0;
// What bluetoothd says of the controller's two modes.
const char* const kModes = "bluetoothctl -- show | grep -E '(Discoverable|Pairable):'";

std::vector<RadioCase> radioCases() {
    return {
        {"WlanFoundAndScanSeesTheFactoryNetworkAMissingInterfaceFails",
         {"--with", "wifi"},
         "$R isWlan wlan0; $R isWlan wlan7; $R testWlan wlan0; $R testWlan wlan7",
         presence("wlan0", true) + presence("wlan7", false) + scan("wlan0", true) + scan("wlan7", false)},
        // The scan works and sees a network, only not the factory's.
        {"ScanWithoutTheFactoryNetworkInRangeFails",
         {"--fault", "wlan-ssid-missing"},
         "$R testWlan wlan0; iw dev wlan0 scan dump | grep -o 'SSID: .*'",
         scan("wlan0", false) + "SSID: zelmo5\n"},
        {"BluetoothControllerBecomesDiscoverableAndPairable",
         {"--with", "bluetooth"},
         std::string(kModes) + "; $R testBluetooth; " + kModes,
         "\tDiscoverable: no\n\tPairable: no\n" + kSearchingHci0 + "result true\n" +
             "\tDiscoverable: yes\n\tPairable: yes\n"},
        {"BluetoothWithoutAControllerFailsAtTheFirstStep",
         {"--fault", "bt-controller-missing"},
         "$R testBluetooth",
         kSearchingHci0 + expect::error("testBluetooth", "Bluetooth [hci0] device not found\n") + "result false\n"},
    };
}

class KernelBoardRadios : public ::testing::TestWithParam<RadioCase> {};

}  // namespace

TEST_P(KernelBoardRadios, RoutineSeesTheRealDrivers) {
    SKIP_WITHOUT_ROUTINES();
    const RadioCase& c = GetParam();
    std::vector<std::string> head = {kRun, "--kernel"};
    head.insert(head.end(), c.options.begin(), c.options.end());
    auto b = runBoard(boardCommand(head, {}, {"sh", "-c", "R=$0; " + c.script, kRoutine}), kBoardEnv, kBoardLimitMs);
    EXPECT_EQ(b.status, 0);
    EXPECT_EQ(b.out, c.out);
}

INSTANTIATE_TEST_SUITE_P(Radios, KernelBoardRadios, ::testing::ValuesIn(radioCases()),
                         [](const ::testing::TestParamInfo<RadioCase>& i) { return i.param.name; });
