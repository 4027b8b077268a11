#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "child_checks.h"
#include "core/process.h"
#include "expect.h"
#include "isolated.h"
#include "routine_entries.h"
#include "skip.h"
#include "stand_ins.h"
#include "tests/can.h"

using testbed::must;

namespace {

using expect::callFailed;
using expect::calling;
using expect::canCapture;
using expect::canGenerate;
using expect::canStateCheck;
using expect::kCanCompare;
using expect::kCanRemove;

// The CAN stand-ins first in PATH, the simulated bus, the argument log and a
// working directory for the scratch file.
struct Bus : StandIns {
    TempDir work;

    // Inside the child: the stand-ins become the tools the shell finds.
    void install() const {
        StandIns::install({"cansend", "candump", "cangen"}, "KIT_CAN_DIR");
        if (chdir(work.path.c_str()) != 0) _exit(99);
    }
    // An interface on the bus; state files are README.md's (peer, echo, drop, data...).
    void iface(const char* name) const { must("mkdir -p %s/%s", state.path.c_str(), name); }
    void set(const char* name, const char* file, const char* text) const {
        testbed::writeFixture(state.path + "/" + name + "/" + file, text);
    }
    // can0 and can1 wired to each other, both links up in sysfs.
    void wiredPair(const char* receiverState = "up\n", const char* senderState = "up\n") const {
        iface("can0");
        iface("can1");
        set("can0", "peer", "can1\n");
        set("can1", "peer", "can0\n");
        testbed::makeFixtureDir("/sys/class/net/can0");
        testbed::makeFixtureDir("/sys/class/net/can1");
        testbed::writeFixture("/sys/class/net/can0/operstate", receiverState);
        testbed::writeFixture("/sys/class/net/can1/operstate", senderState);
    }
    std::string scratch() const { return work.path + "/canfile"; }
    bool scratchExists() const { return access(scratch().c_str(), F_OK) == 0; }
};

// Inside the child: waits (bounded) until no capture listens on can0, so a
// background capture is known to have ended by itself; stops it otherwise.
bool captureEnded(const Bus& bus) {
    std::string dir = bus.state.path + "/can0/listen";
    for (int i = 0; i < 500; ++i) {
        std::string cmd = "[ -z \"$(ls " + dir + " 2>/dev/null)\" ]";
        if (system(cmd.c_str()) == 0) return true;
        usleep(10000);
    }
    return false;
}

// Inside the child: stops a capture that is still waiting for a frame.
bool stopWaitingCapture(const Bus& bus) {
    std::string dir = bus.state.path + "/can0/listen";
    std::string cmd = "pids=$(ls " + dir + " 2>/dev/null); [ -n \"$pids\" ] && kill $pids";
    bool wasRunning = system(cmd.c_str()) == 0;
    return wasRunning && captureEnded(bus);
}

std::string loopLog(const std::string& rx, const std::string& tx, size_t steps) {
    const std::string all[] = {calling(canStateCheck(rx)), calling(canStateCheck(tx)), calling(kCanRemove),
                               calling(canCapture(rx)),    calling(canGenerate(tx)),   calling(kCanCompare),
                               calling(kCanRemove)};
    std::string out;
    for (size_t i = 0; i < steps; ++i) out += all[i];
    return out;
}

// The background capture and the generator start side by side, so their
// calls are compared without their order.
const std::string kLoopTools = "candump can0 -n 1\ncangen can1 -D 11223344AABBCCDD -L 8 -n 1\n";

std::string sortedLines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start) + "\n");
    }
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const auto& line : lines) out += line;
    return out;
}

}  // namespace

namespace {

// One run of testCan: the bus as the row sets it up, the verdict, the log
// and the tools called.
struct CanSingleCase {
    const char* what;
    std::string iface;
    std::vector<std::pair<const char*, const char*>> state;  // can0's state files; empty: no can0
    bool passes;
    std::string out;
    std::optional<std::string> calls;  // the tools called, when checked
    long atLeastMs;                    // the routine took at least this long
};

const std::string kSend = expect::canSend("can0");
const std::string kListen = expect::canListen("can0");

}  // namespace

TEST(CanSingle, VerdictLogAndToolCallsFollowTheBus) {
    const CanSingleCase cases[] = {
        {"frame answered on the bus passes",
         "can0",
         {{"echo", ""}},
         true,
         calling(kSend) + calling(kListen),
         kSend + "\ncandump can0 -T 1500\n",
         0},
        {"failing send listens for nothing", "can0", {}, false, calling(kSend) + callFailed(kSend), kSend + "\n", 0},
        // Nobody answers; the sent frame was gone before listening began.
        {"silent bus fails once the listener gives up",
         "can0",
         {{"", ""}},
         false,
         calling(kSend) + calling(kListen) + callFailed(kListen),
         std::nullopt,
         1500},
        {"answer with other bytes fails",
         "can0",
         {{"echo", ""}, {"data", "123457"}},
         false,
         calling(kSend) + calling(kListen) + callFailed(kListen),
         std::nullopt,
         0},
        {"name that would change the shell command is refused",
         "can0 123#00; cansend can0",
         {},
         false,
         expect::error("systemCall", "Unsafe name refused [can0 123#00; cansend can0]\n"),
         "",
         0},
    };
    for (const CanSingleCase& c : cases) {
        SCOPED_TRACE(c.what);
        Bus bus;
        auto r = runIsolated(kMountNs, [&] {
            bus.install();
            if (!c.state.empty()) bus.iface("can0");
            for (const auto& [file, text] : c.state)
                if (*file != '\0') bus.set("can0", file, text);
            auto start = std::chrono::steady_clock::now();
            bool ok = testCan(c.iface.c_str());
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
            return (ok ? 1 : 0) | (ms.count() >= c.atLeastMs ? 0 : 2);
        });
        SKIP_IF_NO_NAMESPACES(r);
        EXPECT_EQ(r.exitCode & 1, c.passes ? 1 : 0);
        EXPECT_EQ(r.exitCode & 2, 0) << "took less than " << c.atLeastMs << " ms";
        EXPECT_EQ(r.out, c.out);
        if (c.calls) {
            EXPECT_EQ(bus.calls(), *c.calls);
        }
    }
}

namespace {

// One run of testCanLoop("can0", "can1") on the wired pair: the bus as the
// row sets it up, the log, the tools called and what is left behind.
struct CanLoopCase {
    const char* what;
    const char* receiverState = "up\n";                         // can0's operstate
    std::pair<const char*, const char*> senderFile = {"", ""};  // a state file of can1; empty name: none
    std::optional<std::string> earlier = {};                    // a scratch file of an earlier run
    size_t steps = 7;                                           // calls logged before the failing one
    std::string failedCall = {};                                // empty: the test passes
    bool toolsCalled = true;                                    // the capture and the generator ran
    bool captureWaits = false;                                  // the capture still waits (the test stops it)
    std::optional<std::string> scratchAfter = {};               // the scratch file's text after; none: removed
    const char* scratchPattern = nullptr;                       // or a pattern it must match
};

const std::string kEarlierCapture = "  can0  123   [8]  11 22 33 44 AA BB CC DD\n";

}  // namespace

TEST(CanLoop, VerdictLogToolsAndScratchFollowTheBus) {
    const CanLoopCase cases[] = {
        {.what = "wired pair passes, removes the capture and the capture ends by itself"},
        {.what = "receiver not up fails before the scratch file is touched",
         .receiverState = "down\n",
         .earlier = "earlier\n",
         .steps = 1,
         .failedCall = canStateCheck("can0"),
         .toolsCalled = false,
         .scratchAfter = "earlier\n"},
        // A capture of an earlier run holding the payload must not count.
        {.what = "lost frame leaves the empty capture and the capture still waiting",
         .senderFile = {"drop", ""},
         .earlier = kEarlierCapture,
         .steps = 6,
         .failedCall = kCanCompare,
         .captureWaits = true,
         .scratchAfter = ""},
        {.what = "wrong payload leaves the capture behind for the operator",
         .senderFile = {"data", "11223344AABBCCDE"},
         .steps = 6,
         .failedCall = kCanCompare,
         .scratchPattern = "  can0  [0-7][0-9A-F]{2}   \\[8\\]  11 22 33 44 AA BB CC DE\n"},
        {.what = "failing generator leaves the capture behind",
         .senderFile = {"send-fails", ""},
         .steps = 5,
         .failedCall = canGenerate("can1"),
         .captureWaits = true,
         .scratchAfter = ""},
    };
    for (const CanLoopCase& c : cases) {
        SCOPED_TRACE(c.what);
        Bus bus;
        auto r = runIsolated(kMountNs, [&] {
            bus.install();
            bus.wiredPair(c.receiverState);
            if (*c.senderFile.first != '\0') bus.set("can1", c.senderFile.first, c.senderFile.second);
            if (c.earlier) testbed::writeFixture(bus.scratch(), *c.earlier);
            ChildChecks checks;
            checks.check(testCanLoop("can0", "can1") == c.failedCall.empty(), "the verdict");
            if (c.toolsCalled && c.captureWaits) checks.check(stopWaitingCapture(bus), "the capture still waits");
            if (c.toolsCalled && !c.captureWaits) checks.check(captureEnded(bus), "the capture ends by itself");
            return checks.exitCode();
        });
        SKIP_IF_NO_NAMESPACES(r);
        EXPECT_EQ(r.exitCode, 0) << "checks failed in the child (see its stderr)";
        EXPECT_EQ(r.out, loopLog("can0", "can1", c.steps) + (c.failedCall.empty() ? "" : callFailed(c.failedCall)));
        EXPECT_EQ(sortedLines(bus.calls()), c.toolsCalled ? kLoopTools : "");
        std::string scratch = testbed::readFile(bus.scratch());
        if (c.scratchPattern != nullptr) {
            EXPECT_TRUE(std::regex_match(scratch, std::regex(c.scratchPattern))) << scratch;
        } else if (c.scratchAfter) {
            EXPECT_TRUE(bus.scratchExists());
            EXPECT_EQ(scratch, *c.scratchAfter);
        } else {
            EXPECT_FALSE(bus.scratchExists());
        }
    }
}

TEST(CanLoop, SenderNotUpOrWithoutStateFailsBeforeTheScratchFileIsTouched) {
    Bus bus;
    auto r = runIsolated(kMountNs, [&] {
        bus.install();
        bus.wiredPair("up\n", "lowerlayerdown\n");
        testbed::writeFixture(bus.scratch(), "earlier\n");
        ChildChecks checks;
        checks.check(!testCanLoop("can0", "can1"), "a sender that is not up fails");
        checks.check(!testCanLoop("can0", "can2"), "a sender without state fails");
        return checks.exitCode();
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, loopLog("can0", "can1", 2) + callFailed(canStateCheck("can1")) + loopLog("can0", "can2", 2) +
                         callFailed(canStateCheck("can2")));
    EXPECT_EQ(bus.calls(), "");
    EXPECT_EQ(testbed::readFile(bus.scratch()), "earlier\n");
}

TEST(CanLoop, FailingFinalRemovalFailsTheTest) {
    Bus bus;
    auto r = runIsolated(kMountNs, [&] {
        bus.install();
        bus.wiredPair();
        // Once the frame is captured, the scratch file becomes a mount point,
        // which rm cannot remove; the generator's 200 ms gap leaves time for it.
        must(
            "cd %s && (for i in $(seq 1000); do [ -s canfile ] && exec mount --bind canfile canfile; "
            "sleep 0.005; done) > /dev/null 2>&1 &",
            bus.work.path.c_str());
        ChildChecks checks;
        checks.check(!testCanLoop("can0", "can1"), "the verdict");
        checks.check(bus.scratchExists(), "the scratch file is kept");
        must("umount %s", bus.scratch().c_str());
        return checks.exitCode();
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, loopLog("can0", "can1", 7) + callFailed(kCanRemove));
    EXPECT_EQ(sortedLines(bus.calls()), kLoopTools);
}

TEST(CanLoop, OverlongNameIsRefusedBeforeAnyCommand) {
    Bus bus;
    std::string name(100, 'c');
    auto r = runIsolated(kMountNs, [&] {
        bus.install();
        return testCanLoop(name.c_str(), "can1") ? 1 : 0;
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    std::string truncated = canStateCheck(name).substr(0, 127);
    EXPECT_EQ(r.out, expect::error("systemCall", "Command too long [" + truncated + "]\n"));
    EXPECT_EQ(bus.calls(), "");
}

namespace {

struct ToolRun {
    int status = -1;
    std::string out;
    std::string firstError;  // first non-empty line on stderr
};

// Runs tool by its bare name, found first in dir, as the shell of a routine does.
ToolRun runTool(const std::string& dir, const char* tool, const std::string& args, const TempDir& scratch) {
    std::string out = scratch.path + "/out", err = scratch.path + "/err";
    std::string cmd = "PATH=" + dir + ":$PATH " + tool + " " + args + " > " + out + " 2> " + err + " < /dev/null";
    ToolRun run;
    int raw = system(cmd.c_str());
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = testbed::readFile(out);
    std::string text = testbed::readFile(err);
    size_t start = text.find_first_not_of('\n');
    if (start != std::string::npos) run.firstError = text.substr(start, text.find('\n', start) - start);
    return run;
}

// Past option parsing: the real tool here dies at its CAN socket (no CAN in
// this kernel) or at the missing interface; the stand-in at the missing interface.
bool reachedTheInterface(const ToolRun& run) {
    return run.firstError.rfind("socket:", 0) == 0 || run.firstError.rfind("SIOCGIFINDEX:", 0) == 0;
}

void expectSameVerdict(const char* tool, const std::vector<std::string>& lines) {
    if (access((std::string("/usr/bin/") + tool).c_str(), X_OK) != 0)
        GTEST_SKIP() << "can-utils is not installed: no /usr/bin/" << tool;
    TempDir scratch;
    TempDir bin;
    std::string link = "ln -s " + std::string(KIT_TOOLS_DIR) + "/" + tool + " " + bin.path + "/" + tool;
    ASSERT_EQ(system(link.c_str()), 0);
    TempDir emptyBus;
    setenv("KIT_CAN_DIR", emptyBus.path.c_str(), 1);
    unsetenv("KIT_TOOL_LOG");
    for (const auto& args : lines) {
        ToolRun expected = runTool("/usr/bin", tool, args, scratch);
        ToolRun actual = runTool(bin.path, tool, args, scratch);
        SCOPED_TRACE(std::string(tool) + " " + args);
        if (reachedTheInterface(expected)) {
            EXPECT_TRUE(reachedTheInterface(actual)) << actual.firstError;
            EXPECT_EQ(actual.status, 1);
        } else {
            EXPECT_EQ(actual.status, expected.status);
            EXPECT_EQ(actual.out, expected.out);
            EXPECT_EQ(actual.firstError, expected.firstError);
        }
    }
}

}  // namespace

// The command lines the routines issue, with good and bad frames and data:
// the stand-in ends as the installed tool does.
TEST(CanStandIns, TheRoutinesCommandLinesEndAsWithTheRealTools) {
    expectSameVerdict("candump", {"can0 -n 1", "can0 -T 1500"});
    expectSameVerdict("cangen",
                      {"can1 -D 11223344AABBCCDD -L 8 -n 1", "can1 -D zz -L 8 -n 1", "can1 -D 1122334 -L 8 -n 1"});
    expectSameVerdict("cansend", {"can0 123#123456", "can0 12#1", "can0 123#12345", "can0 123-11"});
}

// Anything else is refused by name, so a routine that changes its calls
// fails its tests instead of meeting a stand-in that guesses.
TEST(CanStandIns, OtherCommandLinesAreRefusedAndLogged) {
    TempDir scratch;
    TempDir bin;
    for (const char* tool : {"cansend", "candump", "cangen"})
        ASSERT_EQ(testbed::runProgram({"ln", "-s", std::string(KIT_TOOLS_DIR) + "/" + tool, bin.path}), 0);
    std::string log = scratch.path + "/tools.log";
    setenv("KIT_TOOL_LOG", log.c_str(), 1);
    const std::pair<const char*, const char*> lines[] = {
        {"candump", "-n 1 can0"}, {"candump", "can0 -n 0"},           {"candump", "can0 -n 1 -x"}, {"candump", "can0"},
        {"cangen", "can1"},       {"cangen", "can1 -D 11 -L 9 -n 1"}, {"cansend", "can0"},
    };
    std::string logged;
    for (const auto& [tool, args] : lines) {
        SCOPED_TRACE(std::string(tool) + " " + args);
        ToolRun run = runTool(bin.path, tool, args, scratch);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.firstError, std::string("kit-can: not simulated: ") + tool + " " + args);
        logged += std::string(tool) + " " + args + "\n";
    }
    unsetenv("KIT_TOOL_LOG");
    EXPECT_EQ(testbed::readFile(log), logged);
}
