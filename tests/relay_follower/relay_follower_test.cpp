// The real pylorn binary against the simulated GPIO chip.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "core/isolate.h"
#include "routine_entries.h"
#include "sim_chip_test.h"
#include "wait.h"

namespace {

constexpr uint32_t kRelays[4] = {8, 9, 10, 11};
constexpr uint32_t kInputs[4] = {6, 5, 4, 3};
constexpr const char* kLabels[8] = {"rel1", "rel2", "rel3", "rel4", "in1", "in2", "in3", "in4"};
constexpr uint32_t kAllLines[8] = {8, 9, 10, 11, 6, 5, 4, 3};

// Generous, for sanitizer builds on a loaded machine; polls end as soon as they can.
constexpr int kStartMs = 10000;
// One follow period is 100 ms; a relay that takes longer than this is not following.
constexpr int kFollowMs = 600;

class RelayFollower : public SimChipTest {
protected:
    void TearDown() override {
        testbed::stop(child, SIGKILL);
        SimChipTest::TearDown();
    }

    void start() {
        testbed::StartOptions options = simOptions(KIT_GPIOSIM, state.c_str());
        // On a refused request pylorn ends at once and leaves its granted
        // requests to the process exit, as it is meant to: not a leak to report.
        for (std::string& var : *options.env)
            if (var.starts_with("ASAN_OPTIONS=")) var += ":detect_leaks=0";
        ASSERT_TRUE(testbed::start(child, {KIT_PYLORN}, options));
    }

    // pylorn ends by itself with status 1 and this one error line.
    void expectEndsWithError(const std::string& error) {
        ASSERT_TRUE(testbed::waitEnd(child, kStartMs)) << "pylorn did not end";
        EXPECT_TRUE(WIFEXITED(child.status));
        EXPECT_EQ(WEXITSTATUS(child.status), 1);
        EXPECT_EQ(child.err, error);
        EXPECT_EQ(child.out, "");
    }

    bool allHeld() {
        for (uint32_t offset : kAllLines)
            if (!simIsHeld(session, offset)) return false;
        return true;
    }

    void startAndWaitForLines() {
        start();
        ASSERT_TRUE(waitFor([&] { return allHeld(); }, kStartMs)) << "pylorn did not request its lines";
    }

    bool relayBecomes(int k, int level) {
        return waitFor([&] { return simDriven(session, kRelays[k]) == level; }, kFollowMs);
    }

    // Makes the follow loop prove two whole passes by toggling input 1 twice.
    void waitTwoPasses() {
        int now = simDriven(session, kRelays[0]);
        for (int level : {1 - now, now}) {
            simSetExternal(session, kInputs[0], level);
            ASSERT_TRUE(relayBecomes(0, level)) << "relay 1 stopped following";
        }
    }

    // Drives a line to level and lets it go, so a request can be seen to reset it.
    void leaveDriven(uint32_t offset, uint8_t level) {
        SimLineRequest line{offset, kSimOutput, level};
        int fd = simRequest(session, &line, 1, "preset");
        ASSERT_GE(fd, 0);
        close(fd);
    }

    testbed::Process child;
};

TEST_F(RelayFollower, RequestsItsEightLinesWithTheirLabelsAndStartsTheRelaysInactive) {
    for (uint32_t relay : kRelays) leaveDriven(relay, 1);
    // Failing reads keep the loop from touching the relays, so their levels
    // are the ones the requests set.
    for (uint32_t input : kInputs) simSetFailReads(session, input, true);
    startAndWaitForLines();
    for (int i = 0; i < 8; ++i) {
        char consumer[kSimNameSize] = {};
        EXPECT_TRUE(simIsHeld(session, kAllLines[i], &consumer));
        EXPECT_STREQ(consumer, kLabels[i]) << "line " << kAllLines[i];
        EXPECT_EQ(simDirection(session, kAllLines[i]), i < 4 ? kSimOutput : kSimInput) << "line " << kAllLines[i];
    }
    for (uint32_t relay : kRelays) EXPECT_EQ(simDriven(session, relay), 0) << "relay line " << relay;
    EXPECT_EQ(simLineRequests(session), 8u + 4u);  // the four presets and its own eight
}

TEST_F(RelayFollower, DrivesEachRelayToTheLevelOfItsOwnInput) {
    startAndWaitForLines();
    for (int k = 0; k < 4; ++k) {
        simSetExternal(session, kInputs[k], 1);
        long long begin = testbed::nowMs();
        ASSERT_TRUE(relayBecomes(k, 1)) << "relay " << k + 1 << " did not follow input " << k + 1;
        EXPECT_LT(testbed::nowMs() - begin, kFollowMs);
        for (int other = 0; other < 4; ++other)
            EXPECT_EQ(simDriven(session, kRelays[other]), other <= k ? 1 : 0) << "relay " << other + 1;
    }
    for (int k = 0; k < 4; ++k) {
        simSetExternal(session, kInputs[k], 0);
        ASSERT_TRUE(relayBecomes(k, 0)) << "relay " << k + 1 << " did not follow input " << k + 1 << " down";
    }
}

TEST_F(RelayFollower, FollowsAnOutputWiredToAnInputAsTheInputsLevel) {
    // Input 4 (line 3) reads line 12, which the test drives as an output.
    leaveDriven(12, 1);
    simWire(session, 12, kInputs[3]);
    startAndWaitForLines();
    EXPECT_TRUE(relayBecomes(3, 1));
    EXPECT_EQ(simDriven(session, kRelays[0]), 0);
}

TEST_F(RelayFollower, LeavesARelayAsItIsWhileItsInputFailsToRead) {
    startAndWaitForLines();
    simSetExternal(session, kInputs[2], 1);
    ASSERT_TRUE(relayBecomes(2, 1));

    // Low relay, failing input: stays low (the error value is not "active").
    simSetFailReads(session, kInputs[1], true);
    waitTwoPasses();
    EXPECT_EQ(simDriven(session, kRelays[1]), 0);
    // High relay, failing input whose level went low: stays high.
    simSetFailReads(session, kInputs[2], true);
    simSetExternal(session, kInputs[2], 0);
    waitTwoPasses();
    EXPECT_EQ(simDriven(session, kRelays[2]), 1);
    // The next good read is followed again.
    simSetFailReads(session, kInputs[2], false);
    EXPECT_TRUE(relayBecomes(2, 0));
    simSetExternal(session, kInputs[1], 1);
    simSetFailReads(session, kInputs[1], false);
    EXPECT_TRUE(relayBecomes(1, 1));
}

TEST_F(RelayFollower, PrintsNothingWhileItWorksAndEndsOnlyByASignal) {
    startAndWaitForLines();
    waitTwoPasses();
    waitTwoPasses();
    ASSERT_GT(child.pid, 0);
    ASSERT_FALSE(testbed::waitEnd(child, 0)) << "pylorn ended by itself";
    ASSERT_TRUE(testbed::stop(child, SIGTERM));
    EXPECT_TRUE(WIFSIGNALED(child.status));
    EXPECT_EQ(WTERMSIG(child.status), SIGTERM);
    EXPECT_EQ(child.out, "");
    EXPECT_EQ(child.err, "");
    // The system gives the lines back with the process.
    for (uint32_t offset : kAllLines) EXPECT_FALSE(simIsHeld(session, offset)) << "line " << offset;
}

// The line held elsewhere, in each of the eight request positions.
class RelayFollowerHeldLine : public RelayFollower, public testing::WithParamInterface<int> {};

TEST_P(RelayFollowerHeldLine, RequestsTheOtherSevenThenNamesTheRealErrorAndEndsWithStatusOne) {
    uint32_t held = kAllLines[GetParam()];
    SimLineRequest line{held, kSimInput, 0};
    int holder = simRequest(session, &line, 1, "other");
    ASSERT_GE(holder, 0);
    uint32_t before = simLineRequests(session);

    start();
    ASSERT_NO_FATAL_FAILURE(expectEndsWithError(expect::relayRequestFailed("Device or resource busy")));
    EXPECT_EQ(simLineRequests(session) - before, 7u);
    char consumer[kSimNameSize] = {};
    EXPECT_TRUE(simIsHeld(session, held, &consumer));
    EXPECT_STREQ(consumer, "other");
    close(holder);
}

INSTANTIATE_TEST_SUITE_P(EachPosition, RelayFollowerHeldLine, testing::Range(0, 8),
                         [](const testing::TestParamInfo<int>& param) { return std::string(kLabels[param.param]); });

TEST_F(RelayFollower, WithNoChipAtThePathFailsAllEightWithTheOpenError) {
    if (access("/dev/gpiochip0", F_OK) == 0) GTEST_SKIP() << "this machine has a real /dev/gpiochip0";
    // The simulation is loaded but shows its chip elsewhere.
    ASSERT_TRUE(simCreate(state.c_str(), "/dev/gpiochip1", 16));
    simDetach(session);
    ASSERT_TRUE(simAttach(state.c_str(), session));
    start();
    ASSERT_NO_FATAL_FAILURE(expectEndsWithError(expect::relayRequestFailed("No such file or directory")));
    EXPECT_EQ(simLineRequests(session), 0u);
}

}  // namespace
