// The pin-pair routine against the simulated GPIO chip. The routine runs in
// this same program, started again as a child with the chip's preload in
// effect ("--pairs-child" followed by the pins), so that its ioctls reach
// the simulation; the parent checks the log bytes, the result and the lines.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/isolate.h"
#include "expect.h"
#include "sim_chip_test.h"
#include "tests/gpio_pairs.h"

namespace {

constexpr const char* kChip = "/dev/gpiochip0";
constexpr int kRunMs = 20000;

struct Pin {
    std::string path;
    uint32_t offset;
    std::string name;
    int32_t pair;
};

// "path:offset:name:pair"; the texts are copied without a terminator when they fill their field.
std::string pinArgument(const Pin& pin) {
    return pin.path + ":" + std::to_string(pin.offset) + ":" + pin.name + ":" + std::to_string(pin.pair);
}

bool parsePin(const char* text, GpioPin& pin) {
    char copy[256];
    snprintf(copy, sizeof copy, "%s", text);
    char* save = nullptr;
    char* path = strtok_r(copy, ":", &save);
    char* offset = strtok_r(nullptr, ":", &save);
    char* name = strtok_r(nullptr, ":", &save);
    char* pair = strtok_r(nullptr, ":", &save);
    if (pair == nullptr) return false;
    memset(&pin, 0, sizeof pin);
    memcpy(pin.chipPath, path, std::min(strlen(path), sizeof pin.chipPath));
    memcpy(pin.name, name, std::min(strlen(name), sizeof pin.name));
    pin.lineOffset = static_cast<uint32_t>(strtoul(offset, nullptr, 10));
    pin.pairIndex = static_cast<int32_t>(strtol(pair, nullptr, 10));
    return true;
}

// Child side: --pairs-child <input count> <pins...>; exit 0 when pylorn passed.
int runChild(int argc, char** argv) {
    std::vector<GpioPin> pins(static_cast<size_t>(argc));
    size_t inputs = strtoul(argv[2], nullptr, 10);
    size_t count = static_cast<size_t>(argc - 3);
    for (size_t i = 0; i < count; ++i)
        if (!parsePin(argv[3 + i], pins[i])) return 3;
    bool passed = pylorn(pins.data(), pins.data() + inputs, inputs, count - inputs);
    fflush(stdout);
    return passed ? 0 : 1;
}

class GpioPairs : public SimChipTest {
protected:
    // Runs pylorn on the pins in a child under the simulation; status is its
    // exit status (0 passed, 1 failed).
    void run(const std::vector<Pin>& inputs, const std::vector<Pin>& outputs) {
        std::vector<std::string> args = {"--pairs-child", std::to_string(inputs.size())};
        for (const Pin& pin : inputs) args.push_back(pinArgument(pin));
        for (const Pin& pin : outputs) args.push_back(pinArgument(pin));
        testbed::Process child;
        ASSERT_TRUE(startSelf(child, args));
        bool ended = testbed::waitEnd(child, kRunMs);
        testbed::stop(child, SIGKILL);
        ASSERT_TRUE(ended) << "pylorn did not return";
        ASSERT_TRUE(WIFEXITED(child.status)) << child.err;
        status = WEXITSTATUS(child.status);
        out = child.out;
        EXPECT_EQ(child.err, "");
    }

    void expectFreeInputs(const std::vector<Pin>& pins) {
        for (const Pin& pin : pins) {
            EXPECT_FALSE(simIsHeld(session, pin.offset)) << pin.name << " still held";
            EXPECT_EQ(simDirection(session, pin.offset), kSimInput) << pin.name << " not left as an input";
        }
    }

    void wireAll(const std::vector<Pin>& inputs, const std::vector<Pin>& outputs) {
        for (const Pin& in : inputs) simWire(session, outputs[static_cast<size_t>(in.pair)].offset, in.offset);
    }

    int hold(uint32_t offset) {
        SimLineRequest line{offset, kSimInput, 0};
        return simRequest(session, &line, 1, "other");
    }

    int status = -1;
    std::string out;

    const std::vector<Pin> pairIns = {{kChip, 6, "in1", 0}, {kChip, 5, "in2", 1}, {kChip, 4, "in3", 2}};
    const std::vector<Pin> pairOuts = {{kChip, 8, "out1", -1}, {kChip, 9, "out2", -1}, {kChip, 10, "out3", -1}};
};

std::string pinFailed(const char* input, const char* output) {
    return expect::error("pylorn", std::string("Pin test failed ") + input + " " + output + "\n");
}

TEST_F(GpioPairs, ThreeGoodPairsPassSilentlyAndLeaveEveryLineAFreeInput) {
    wireAll(pairIns, pairOuts);
    run(pairIns, pairOuts);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "");
    expectFreeInputs(pairIns);
    expectFreeInputs(pairOuts);
    // Six requests, then six requests as pairIns on release.
    EXPECT_EQ(simLineRequests(session), 12u);
    EXPECT_EQ(simChipOpens(session), 12u);
}

TEST_F(GpioPairs, AnOpenPairFailsOnceByNameWhileTheOtherPairsAreStillTested) {
    wireAll(pairIns, pairOuts);
    simUnwire(session, 5);
    run(pairIns, pairOuts);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, pinFailed("in2", "out2"));
    // Every output reached its high phase: each pair was tested.
    for (const Pin& output : pairOuts) EXPECT_EQ(simDriven(session, output.offset), 1) << output.name;
    expectFreeInputs(pairIns);
    expectFreeInputs(pairOuts);
}

TEST_F(GpioPairs, AnInputStuckHighFailsInTheLowPhaseWithoutDrivingItsOutputHigh) {
    wireAll(pairIns, pairOuts);
    simUnwire(session, 5);
    simSetExternal(session, 5, 1);
    run(pairIns, pairOuts);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, pinFailed("in2", "out2"));
    EXPECT_EQ(simDriven(session, 8), 1);
    EXPECT_EQ(simDriven(session, 9), 0);
    EXPECT_EQ(simDriven(session, 10), 1);
}

TEST_F(GpioPairs, AnInputStuckLowFailsInTheHighPhase) {
    wireAll(pairIns, pairOuts);
    // in3 shorted to line 15, an output held low.
    SimLineRequest low{15, kSimOutput, 0};
    int fd = simRequest(session, &low, 1, "short");
    ASSERT_GE(fd, 0);
    simWire(session, 15, 4);
    run(pairIns, pairOuts);
    close(fd);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, pinFailed("in3", "out3"));
    EXPECT_EQ(simDriven(session, 10), 1);
}

TEST_F(GpioPairs, AnInputWhoseReadsFailIsReportedInTheHighPhase) {
    wireAll(pairIns, pairOuts);
    simSetFailReads(session, 6, true);
    run(pairIns, pairOuts);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, pinFailed("in1", "out1"));
}

TEST_F(GpioPairs, SeveralInputsMayShareOneOutput) {
    std::vector<Pin> shared = {{kChip, 6, "in1", 0}, {kChip, 5, "in2", 0}, {kChip, 4, "in3", 0}};
    std::vector<Pin> one = {{kChip, 8, "out1", -1}};
    wireAll(shared, one);
    run(shared, one);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "");
    expectFreeInputs(shared);
    expectFreeInputs(one);
}

TEST_F(GpioPairs, AMissingChipFailsAtTheFirstInputWithTheOpenError) {
    if (access("/dev/gpiochip9", F_OK) == 0) GTEST_SKIP() << "this machine has a real /dev/gpiochip9";
    std::vector<Pin> ins = {{"/dev/gpiochip9", 6, "in1", 0}};
    std::vector<Pin> outs = {{"/dev/gpiochip9", 8, "out1", -1}};
    run(ins, outs);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, expect::error("initGpioInput", "Init input: Failed open /dev/gpiochip9 in1 \n"));
}

TEST_F(GpioPairs, FullTextFieldsWithoutTerminatorAreShownWithoutReadingPastThem) {
    std::string name32(32, 'n');
    std::vector<Pin> ins = {{"/nonexistent/gpi", 6, name32, 0}};  // 16 characters
    std::vector<Pin> outs = {{kChip, 8, "out1", -1}};
    run(ins, outs);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, expect::error("initGpioInput", "Init input: Failed open /nonexistent/gpi " + name32 + " \n"));
}

TEST_F(GpioPairs, AnInputHeldByAnotherConsumerFailsAndGivesBackTheLinesAlreadyRequested) {
    int holder = hold(5);
    ASSERT_GE(holder, 0);
    run(pairIns, pairOuts);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, expect::error("initGpioInput", "Init input: Failed close /dev/gpiochip0 in2 \n"));
    EXPECT_TRUE(simIsHeld(session, 5));
    EXPECT_FALSE(simIsHeld(session, 6)) << "in1 left held";
    EXPECT_EQ(simLineRequests(session), 2u);  // the holder's and in1's
    close(holder);
}

TEST_F(GpioPairs, AnOutputHeldByAnotherConsumerFailsAndGivesBackEveryLineAlreadyRequested) {
    wireAll(pairIns, pairOuts);
    int holder = hold(10);
    ASSERT_GE(holder, 0);
    run(pairIns, pairOuts);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, expect::error("initGpioOutput", "Init output: Failed close /dev/gpiochip0 out3 \n"));
    for (uint32_t offset : {6u, 5u, 4u, 8u, 9u}) EXPECT_FALSE(simIsHeld(session, offset)) << "line " << offset;
    // No pair was tested: the pairOuts were only requested low.
    EXPECT_EQ(simDriven(session, 8), 0);
    EXPECT_EQ(simDriven(session, 9), 0);
    close(holder);
}

TEST_F(GpioPairs, BothArraysEmptyPassWithoutOpeningAnything) {
    run({}, {});
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(simChipOpens(session), 0u);
}

TEST_F(GpioPairs, OutputsAloneAreRequestedLowAndReleasedAsInputs) {
    simSetExternal(session, 8, 1);
    run({}, pairOuts);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "");
    expectFreeInputs(pairOuts);
    for (const Pin& output : pairOuts) EXPECT_EQ(simDriven(session, output.offset), 0) << output.name;
    EXPECT_EQ(simLineRequests(session), 6u);
}

TEST_F(GpioPairs, APairIndexOutsideTheOutputsIsRefusedBeforeAnyLineIsRequested) {
    wireAll(pairIns, pairOuts);
    std::vector<Pin> ins = pairIns;
    ins[1].pair = 3;
    run(ins, pairOuts);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, expect::error("pylorn", "Pin pair index out of range in2 3\n"));
    EXPECT_EQ(simChipOpens(session), 0u);

    ins[1].pair = 1;
    ins[2].pair = -1;
    run(ins, pairOuts);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, expect::error("pylorn", "Pin pair index out of range in3 -1\n"));
    EXPECT_EQ(simChipOpens(session), 0u);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && strcmp(argv[1], "--pairs-child") == 0) return runChild(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
