#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "board_run.h"
#include "core/process.h"
#include "entries.h"
#include "expect.h"
#include "isolated.h"
#include "routine_entries.h"
#include "sequence_faults.h"
#include "sequence_log.h"

namespace {

const std::string kRun = std::string(KIT_SOURCE_DIR) + "/virtual-board/run";

// How the board is started: by whom, from which copy of the kit, and where.
struct Launch {
    std::vector<std::string> prefix;  // e.g. a change of user
    std::string run = kRun;
    std::string build = KIT_BUILD_DIR;
    std::string cwd;  // empty: the test's own
};

// Runs argv on a fresh virtual board with the given faults, stdout captured.
BoardRun onBoard(const std::vector<std::string>& faults, const std::vector<std::string>& argv,
                 const Launch& launch = {}) {
    std::vector<std::string> head = launch.prefix;
    head.push_back(launch.run);
    return runBoard(boardCommand(head, faults, argv), {"KIT_BUILD_DIR=" + launch.build}, 60000, launch.cwd);
}

#define SKIP_IF_NO_BOARD(b)                                                  \
    if ((b).status == 125 || (b).out.find("unshare: ") != std::string::npos) \
    GTEST_SKIP() << "the virtual board cannot be built on this machine: " << (b).out

}  // namespace

TEST(GoodBoard, CorvanePassesAllFiveTests) {
    auto b = onBoard({}, {KIT_CORVANE});
    SKIP_IF_NO_BOARD(b);
    EXPECT_EQ(b.status, 0);
    // The reader thread logs beside the writer, so entries are compared as a set.
    EXPECT_EQ(expect::entries(b.out), expect::entries(expect::goodSequence() + expect::verdicts(-1)));
    EXPECT_EQ(b.out.substr(b.out.size() - expect::verdicts(-1).size()), expect::verdicts(-1));
}

TEST(GoodBoard, EthernetPingsReallyCrossTheCable) {
    auto b = onBoard({}, {"sh", "-c",
                          "\"$0\" > /dev/null; cat /sys/class/net/eth0/statistics/rx_packets "
                          "/sys/class/net/eth1/statistics/rx_packets",
                          KIT_CORVANE});
    SKIP_IF_NO_BOARD(b);
    ASSERT_EQ(b.status, 0);
    long rx0 = 0, rx1 = 0;
    ASSERT_EQ(sscanf(b.out.c_str(), "%ld %ld", &rx0, &rx1), 2) << b.out;
    // Two echo requests in and two replies in, on each port.
    EXPECT_GE(rx0, 4);
    EXPECT_GE(rx1, 4);
}

TEST(GoodBoard, EchoTestsPassWithTheirThreeStartUpLines) {
    for (const char* program : {KIT_QUILLON2, KIT_QUILLON1}) {
        auto b = onBoard({}, {program});
        SKIP_IF_NO_BOARD(b);
        EXPECT_EQ(b.status, 0) << program;
        EXPECT_EQ(b.out, expect::kEchoStartUp) << program;
    }
}

// The firmware reports every message it hears; over 13000 reports (more
// than any pipe holds) must not stop it answering the next program.
TEST(GoodBoard, EchoFirmwareKeepsAnsweringAfterThousandsOfMessages) {
    // 13,400 messages, each answered and read back, so every one has passed
    // the firmware (and its line of output) before quillon2 starts.
    const char* script =
        "stty -F /dev/ttyRPMSG raw -echo -iexten 115200 && "
        "{ timeout 10 head -c 603000 /dev/ttyRPMSG > /dev/null & } && "
        "timeout 10 head -c 603000 /dev/zero > /dev/ttyRPMSG && wait $! && timeout 10 \"$0\"";
    auto b = onBoard({}, {"sh", "-c", script, KIT_QUILLON2});
    SKIP_IF_NO_BOARD(b);
    EXPECT_EQ(b.status, 0);
    EXPECT_EQ(b.out, expect::kEchoStartUp);
}

TEST(GoodBoard, EachRelayFollowsItsInput) {
    // Inputs 6,5,4,3 drive relays 8,9,10,11; each change must show within 100 ms plus a margin.
    const char* script =
        "\"$0\" & sleep 0.3; c=\"gpiosim_ctl $GPIOSIM_STATE\"; "
        "for pair in 6:8 5:9 4:10 3:11; do in=${pair%:*}; out=${pair#*:}; "
        "  $c set $in 1 > /dev/null; sleep 0.25; printf '%s' $($c get $out); "
        "  $c set $in 0 > /dev/null; sleep 0.25; printf '%s ' $($c get $out); done";
    auto b = onBoard({}, {"sh", "-c", script, KIT_PYLORN});
    SKIP_IF_NO_BOARD(b);
    EXPECT_EQ(b.status, 0);
    EXPECT_EQ(b.out, "10 10 10 10 ");
}

TEST(GoodBoard, SetUpAndTearDownTakeWellUnderASecond) {
    // The best of three runs, so that other tests running beside this one
    // do not count as the board's own cost.
    double best = 1e9;
    for (int i = 0; i < 3; ++i) {
        auto b = onBoard({}, {"true"});
        SKIP_IF_NO_BOARD(b);
        EXPECT_EQ(b.status, 0);
        best = std::min(best, b.seconds);
    }
    EXPECT_LT(best, 1.0);
}

TEST(GoodBoard, LeavesTheHostUnchanged) {
    auto snapshot = [] { return testbed::readFile("/proc/self/mountinfo"); };
    auto links = [] {
        std::string names;
        std::string dev = testbed::readFile("/proc/net/dev");
        for (size_t p = dev.find('\n', dev.find('\n') + 1); p != std::string::npos && p + 1 < dev.size();
             p = dev.find('\n', p + 1))
            names += dev.substr(p + 1, dev.find(':', p) - p);
        return names;
    };
    std::string mountsBefore = snapshot();
    std::string linksBefore = links();
    auto b = onBoard({}, {"sh", "-c", "sleep 7.25 & echo started"});
    SKIP_IF_NO_BOARD(b);
    EXPECT_EQ(b.status, 0);
    EXPECT_EQ(snapshot(), mountsBefore);
    EXPECT_EQ(links(), linksBefore);
    EXPECT_NE(access("/run/kit", F_OK), 0);
    EXPECT_NE(access("/run/media/usb0/testfile.txt", F_OK), 0);
    // Every process of the board ended with it.
    int left = system("pgrep -x -f 'sleep 7.25' > /dev/null");
    EXPECT_NE(WEXITSTATUS(left), 0);
}

// The board program virtual-board/run starts: the host build's, which makes
// the namespaces natively even when the stand-ins are of another machine.
std::string hostBoard() {
    const char* host = getenv("KIT_HOST_BUILD_DIR");
    std::string board =
        (host != nullptr ? std::string(host) : std::string(KIT_SOURCE_DIR) + "/build") + "/testbed/board/board";
    return access(board.c_str(), X_OK) == 0 ? board : std::string(KIT_BUILD_DIR) + "/testbed/board/board";
}

// What an unprivileged board run reads, copied where any user can read it:
// the checkout or build tree may sit under a home directory only its owner
// can enter (Debian makes /root 0700). Layout as in the source and build trees.
struct PublicKit {
    TempDir dir;
    std::string build() const { return dir.path + "/build"; }
    std::string run() const { return dir.path + "/virtual-board/run"; }
    std::string corvane() const { return dir.path + "/corvane"; }
    bool ok = false;

    PublicKit() {
        if (dir.path.empty()) return;
        const std::string src = KIT_SOURCE_DIR, bld = KIT_BUILD_DIR, dst = dir.path;
        std::string gpiosimLib = std::string(KIT_GPIOSIM);
        std::vector<std::vector<std::string>> steps = {
            {"mkdir", "-p", dst + "/virtual-board", dst + "/testbed", dst + "/build/testbed/serialsim",
             dst + "/build/testbed/echofw", dst + "/build/testbed/eventfeed", dst + "/build/testbed/board",
             dst + "/build/testbed/gpiosim"},
            {"cp", src + "/virtual-board/run", dst + "/virtual-board/"},
            {"cp", hostBoard(), dst + "/build/testbed/board/"},
            {"cp", "-R", src + "/testbed/tools", dst + "/testbed/"},
            {"cp", bld + "/testbed/serialsim/serialsim", dst + "/build/testbed/serialsim/"},
            {"cp", KIT_ECHOFW, dst + "/build/testbed/echofw/"},
            {"cp", KIT_EVENTFEED, dst + "/build/testbed/eventfeed/"},
            {"cp", KIT_GPIOSIM_CTL, gpiosimLib, dst + "/build/testbed/gpiosim/"},
            {"cp", KIT_CORVANE, dst + "/corvane"},
            {"chmod", "-R", "a+rX", dst},
        };
        for (const auto& step : steps) {
            int st = testbed::runProgram(step);
            if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) return;
        }
        ok = true;
    }
};

TEST(GoodBoard, RunsTheSameForAnUnprivilegedUser) {
    if (geteuid() != 0) GTEST_SKIP() << "already unprivileged; the other tests cover it";
    PublicKit kit;
    ASSERT_TRUE(kit.ok) << "could not copy the board into " << kit.dir.path;
    // The user must be able to enter its working directory too.
    auto b = onBoard(
        {}, {kit.corvane()},
        {{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}, kit.run(), kit.build(), kit.dir.path});
    SKIP_IF_NO_BOARD(b);
    EXPECT_EQ(b.status, 0) << b.out;
    EXPECT_EQ(expect::entries(b.out), expect::entries(expect::goodSequence() + expect::verdicts(-1)));
}

class BoardFault : public ::testing::TestWithParam<expect::SequenceFault> {};

TEST_P(BoardFault, TurnsOnlyItsOwnVerdictRed) {
    const expect::SequenceFault& c = GetParam();
    auto b = onBoard({c.fault}, {KIT_CORVANE});
    SKIP_IF_NO_BOARD(b);
    EXPECT_EQ(b.status, 0);
    ASSERT_GE(b.out.size(), expect::verdicts(c.failed).size());
    EXPECT_EQ(b.out.substr(b.out.size() - expect::verdicts(c.failed).size()), expect::verdicts(c.failed));
    EXPECT_NE(b.out.find(c.evidence), std::string::npos) << b.out;
}

INSTANTIATE_TEST_SUITE_P(Faults, BoardFault, ::testing::ValuesIn(expect::sequenceFaults(expect::Board::Namespace)),
                         expect::faultTestName);

TEST(EchoFaults, EachEndsTheEchoProgramWithItsOwnText) {
    for (const expect::EchoFault& c : expect::echoFaults()) {
        auto b = onBoard({c.fault}, expect::echoFaultCommand(c, KIT_QUILLON2, KIT_QUILLON1));
        SKIP_IF_NO_BOARD(b);
        EXPECT_EQ(b.status, c.status) << c.fault;
        EXPECT_EQ(b.out, expect::kEchoStartUp + c.after) << c.fault;
    }
}

TEST(GpioFaults, RelayLineHeldByAnotherConsumerEndsTheFollowerWithItsError) {
    // The follower ends at once and leaves its granted lines to the kernel, on purpose.
    auto b =
        onBoard({"relay-busy"}, {"sh", "-c", "ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" \"$0\" 2>&1", KIT_PYLORN});
    SKIP_IF_NO_BOARD(b);
    EXPECT_EQ(b.status, 1);
    EXPECT_EQ(b.out, expect::relayRequestFailed("Device or resource busy"));
}

TEST(GpioFaults, PinPairFixtureFollowsItsOutputsUnlessAnInputIsStuckOrOpen) {
    // Outputs 16,17,18 are wired to inputs 19,20,21; all outputs idle low here.
    const char* script = "c=\"gpiosim_ctl $GPIOSIM_STATE\"; $c get 19 get 20 get 21 | tr -d '\\n'";
    auto good = onBoard({}, {"sh", "-c", script});
    SKIP_IF_NO_BOARD(good);
    EXPECT_EQ(good.out, "000");
    EXPECT_EQ(onBoard({"gpio-input-stuck"}, {"sh", "-c", script}).out, "100");
    auto open = onBoard({"gpio-pair-open"}, {"sh", "-c", "gpiosim_ctl $GPIOSIM_STATE show | grep '^2[01] '"});
    EXPECT_EQ(open.out, "20 input 0 free from 17\n21 input 0 free\n");
}

TEST(GoodBoard, RtcTimeAdvancesAndItsWakeAlarmRaisesTheInterruptCount) {
    const char* script =
        "r=/sys/class/rtc/rtc0; q=/sys/kernel/irq/200/per_cpu_count; a=$(cat $r/time); sleep 1.1; "
        "b=$(cat $r/time); c=$(cat $q); echo +1 > $r/wakealarm; sleep 1.3; d=$(cat $q); "
        "[ \"$a\" != \"$b\" ] && [ \"$c\" != \"$d\" ] && cat $r/name";
    auto b = onBoard({}, {"sh", "-c", script});
    SKIP_IF_NO_BOARD(b);
    EXPECT_EQ(b.status, 0);
    EXPECT_EQ(b.out, "rtc-sim\n");
}

// The radio faults change what the tools see, and so the routines' verdicts.
TEST(RadioFaults, ScanSeesAnotherNetworkAndNoControllerIsListed) {
    auto good = onBoard({}, {"sh", "-c", "iw dev wlan0 scan | grep SSID; hcitool dev"});
    SKIP_IF_NO_BOARD(good);
    EXPECT_EQ(good.status, 0);
    EXPECT_EQ(good.out, "\tSSID: zelmo4\nDevices:\n\thci0\t00:1A:7D:DA:71:13\n");
    auto b = onBoard({"wlan-ssid-missing", "bt-controller-missing"},
                     {"sh", "-c", "iw dev wlan0 scan | grep SSID; hcitool dev"});
    EXPECT_EQ(b.status, 0);
    EXPECT_EQ(b.out, "\tSSID: zelmo5\nDevices:\n");
}

TEST(BoardRun, UnknownMalformedOrClashingFaultsAreRefusedBeforeAnythingStarts) {
    for (const char* fault : {"rs485-.*", "eth-unplugged=x", "echo-corrupt=three", "no-such-fault", "wifi"}) {
        auto b = onBoard({fault}, {"sh", "-c", "echo ran"});
        EXPECT_EQ(b.status, 2) << fault;
        EXPECT_EQ(b.out, "") << fault;
    }
    auto clash = onBoard({"rs485-silent", "rs485-garbled"}, {"sh", "-c", "echo ran"});
    EXPECT_EQ(clash.status, 2);
    EXPECT_EQ(clash.out, "");
    // The kernel board has no wired pin pairs: refused before anything boots.
    int st = testbed::runProgram({kRun, "--kernel", "--fault", "gpio-pair-open", "sh", "-c", "echo ran"},
                                 {"KIT_HOST_BUILD_DIR=" + std::string(KIT_BUILD_DIR)});
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 2) << st;
}

TEST(BoardRun, TerminationSignalTearsTheWholeBoardDown) {
    testbed::Process board;
    testbed::StartOptions options;
    options.addEnv = {"KIT_BUILD_DIR=" KIT_BUILD_DIR};
    ASSERT_TRUE(testbed::start(board, {kRun, "sh", "-c", "sleep 7.75"}, options));
    // Wait (bounded) until the board's command runs, then ask the board to stop: it must end within 3 s.
    for (int i = 0; i < 300 && system("pgrep -x -f 'sleep 7.75' > /dev/null") != 0; ++i) usleep(10000);
    EXPECT_TRUE(testbed::stop(board, SIGTERM, 3000));
    bool left = false;
    for (int i = 0; i < 100 && (left = system("pgrep -x -f 'sleep 7.75' > /dev/null") == 0); ++i) usleep(10000);
    EXPECT_FALSE(left) << "the board's command outlived the board";
}

namespace {

// The lines the launcher prints for its options.
std::vector<std::string> launcherLines(const std::string& option) {
    std::vector<std::string> lines;
    testbed::Process run;
    testbed::StartOptions options;
    options.captureOut = true;
    options.addEnv = {"KIT_BUILD_DIR=" KIT_BUILD_DIR};
    if (!testbed::start(run, {kRun, option}, options) || !testbed::waitEnd(run, 30000)) return lines;
    for (size_t at = 0, end; (end = run.out.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(run.out.substr(at, end - at));
    return lines;
}

}  // namespace

// A fault is named once, by the launcher: README's table and the fault rows
// of the tests follow it.
TEST(FaultNames, ReadmeTableAndTestRowsNameTheLaunchersFaults) {
    std::vector<std::string> known = launcherLines("--list-faults");
    ASSERT_FALSE(known.empty());
    std::vector<std::string> documented;
    std::string readme = testbed::readFile(std::string(KIT_SOURCE_DIR) + "/README.md");
    size_t table = readme.find("### Faults a user can inject");
    ASSERT_NE(table, std::string::npos);
    for (size_t at = readme.find("\n| `", table); at != std::string::npos; at = readme.find("\n| `", at + 1)) {
        size_t start = at + 4;
        documented.push_back(readme.substr(start, readme.find('`', start) - start));
        size_t next = readme.find('\n', at + 1);
        if (next == std::string::npos || readme.compare(next, 3, "\n| ") != 0) break;  // the table ended
    }
    EXPECT_EQ(documented, known);
    for (const auto& row : expect::sequenceFaults(expect::Board::Namespace)) {
        EXPECT_NE(std::find(known.begin(), known.end(), row.fault), known.end()) << row.fault;
    }
}
