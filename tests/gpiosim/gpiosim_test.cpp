// The simulated GPIO chip copies the kernel's behaviour: libgpiod accepts it,
// a held line is refused (EBUSY) also across processes, values travel between
// wired lines and to the outside, and a line lives as long as its handle.
// The parts that must run under the preload run in this program started
// again as a child ("--sim-child <scenario>"), whose output the parent checks.

#include <fcntl.h>
#include <gpiod.h>
#include <gtest/gtest.h>
#include <linux/gpio.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "isolated.h"
#include "sim_chip_test.h"
#include "wait.h"

namespace {

constexpr const char* kChip = "/dev/gpiochip0";
constexpr int kWaitMs = 10000;

// ---- child side: runs under the preload ----

gpiod_line_request* requestV2(unsigned offset, gpiod_line_direction direction, gpiod_line_value value) {
    gpiod_chip* chip = gpiod_chip_open(kChip);
    if (chip == nullptr) return nullptr;
    gpiod_line_settings* settings = gpiod_line_settings_new();
    gpiod_line_settings_set_direction(settings, direction);
    gpiod_line_settings_set_output_value(settings, value);
    gpiod_line_config* lines = gpiod_line_config_new();
    gpiod_line_config_add_line_settings(lines, &offset, 1, settings);
    gpiod_request_config* config = gpiod_request_config_new();
    gpiod_request_config_set_consumer(config, "child");
    gpiod_line_request* request = gpiod_chip_request_lines(chip, config, lines);
    int error = errno;
    gpiod_request_config_free(config);
    gpiod_line_config_free(lines);
    gpiod_line_settings_free(settings);
    gpiod_chip_close(chip);
    errno = error;
    return request;
}

// A v1 line handle on an open chip descriptor, or -errno.
int requestV1(int chip, unsigned offset, uint32_t flags, uint8_t value = 0) {
    gpiohandle_request request{};
    request.lineoffsets[0] = offset;
    request.flags = flags;
    request.default_values[0] = value;
    request.lines = 1;
    snprintf(request.consumer_label, sizeof request.consumer_label, "v1child");
    if (ioctl(chip, GPIO_GET_LINEHANDLE_IOCTL, &request) != 0) return -errno;
    return request.fd;
}

const char* describe(int result) { return result >= 0 ? "granted" : strerror(-result); }

int infoScenario() {
    gpiod_chip* chip = gpiod_chip_open(kChip);
    if (chip == nullptr) {
        printf("open failed: %s\n", strerror(errno));
        return 1;
    }
    gpiod_chip_info* info = gpiod_chip_get_info(chip);
    printf("%s %s %zu\n", gpiod_chip_info_get_name(info), gpiod_chip_info_get_label(info),
           gpiod_chip_info_get_num_lines(info));
    gpiod_chip_info_free(info);
    for (unsigned offset : {8u, 3u}) {
        gpiod_line_info* line = gpiod_chip_get_line_info(chip, offset);
        printf("%u %s %s %s\n", offset, gpiod_line_info_is_used(line) ? "used" : "free",
               gpiod_line_info_get_consumer(line) != nullptr ? gpiod_line_info_get_consumer(line) : "-",
               gpiod_line_info_get_direction(line) == GPIOD_LINE_DIRECTION_OUTPUT ? "output" : "input");
        gpiod_line_info_free(line);
    }
    gpiod_chip_close(chip);
    return 0;
}

int busyScenario() {
    gpiod_line_request* request = requestV2(8, GPIOD_LINE_DIRECTION_INPUT, GPIOD_LINE_VALUE_INACTIVE);
    printf("v2 line 8: %s\n", request != nullptr ? "granted" : strerror(errno));
    int chip = open(kChip, O_RDONLY);
    printf("v1 line 8: %s\n", describe(requestV1(chip, 8, GPIOHANDLE_REQUEST_INPUT)));
    int first = requestV1(chip, 9, GPIOHANDLE_REQUEST_INPUT);
    printf("v1 line 9: %s\n", describe(first));
    printf("v1 line 9 again: %s\n", describe(requestV1(chip, 9, GPIOHANDLE_REQUEST_OUTPUT)));
    gpiod_line_request* again = requestV2(9, GPIOD_LINE_DIRECTION_INPUT, GPIOD_LINE_VALUE_INACTIVE);
    printf("v2 line 9 again: %s\n", again != nullptr ? "granted" : strerror(errno));
    close(chip);
    return 0;
}

// Drives line 8 high, waits for the parent to raise line 15, reads the
// wired and unwired inputs, drives line 8 low, waits for line 15 to fall.
int valuesScenario() {
    gpiod_line_request* out = requestV2(8, GPIOD_LINE_DIRECTION_OUTPUT, GPIOD_LINE_VALUE_ACTIVE);
    gpiod_line_request* go = requestV2(15, GPIOD_LINE_DIRECTION_INPUT, GPIOD_LINE_VALUE_INACTIVE);
    gpiod_line_request* wired = requestV2(6, GPIOD_LINE_DIRECTION_INPUT, GPIOD_LINE_VALUE_INACTIVE);
    gpiod_line_request* failing = requestV2(4, GPIOD_LINE_DIRECTION_INPUT, GPIOD_LINE_VALUE_INACTIVE);
    if (out == nullptr || go == nullptr || wired == nullptr || failing == nullptr) return 2;
    auto waitGo = [&](gpiod_line_value level) {
        return waitFor([&] { return gpiod_line_request_get_value(go, 15) == level; }, kWaitMs);
    };
    if (!waitGo(GPIOD_LINE_VALUE_ACTIVE)) return 3;
    printf("wired high: %d\n", gpiod_line_request_get_value(wired, 6));
    gpiod_line_request_set_value(out, 8, GPIOD_LINE_VALUE_INACTIVE);
    printf("wired low: %d\n", gpiod_line_request_get_value(wired, 6));
    int value = gpiod_line_request_get_value(failing, 4);
    printf("failing: %d %s\n", value, strerror(errno));
    int driven = gpiod_line_request_set_value(wired, 6, GPIOD_LINE_VALUE_ACTIVE);
    printf("drive input: %d %s\n", driven, strerror(errno));
    fflush(stdout);
    bool fell = waitGo(GPIOD_LINE_VALUE_INACTIVE);
    for (gpiod_line_request* request : {out, go, wired, failing}) gpiod_line_request_release(request);
    return fell ? 0 : 3;
}

int lifetimeScenario() {
    int chip = open(kChip, O_RDONLY);
    int handle = requestV1(chip, 8, GPIOHANDLE_REQUEST_OUTPUT, 1);
    close(chip);  // the handle outlives its chip descriptor
    gpiohandle_data data{};
    int got = ioctl(handle, GPIOHANDLE_GET_LINE_VALUES_IOCTL, &data);
    printf("get after chip close: %d %u\n", got, data.values[0]);
    data.values[0] = 0;
    printf("set after chip close: %d\n", ioctl(handle, GPIOHANDLE_SET_LINE_VALUES_IOCTL, &data));
    gpio_v2_line_values values{};
    values.mask = 1;
    printf("v2 call on v1 handle: %s\n",
           ioctl(handle, GPIO_V2_LINE_GET_VALUES_IOCTL, &values) != 0 ? strerror(errno) : "answered");
    close(handle);
    chip = open(kChip, O_RDONLY);
    printf("after handle close: %s\n", describe(requestV1(chip, 8, GPIOHANDLE_REQUEST_INPUT)));
    printf("offset off the chip: %s\n", describe(requestV1(chip, 16, GPIOHANDLE_REQUEST_INPUT)));
    printf("input and output: %s\n",
           describe(requestV1(chip, 9, GPIOHANDLE_REQUEST_INPUT | GPIOHANDLE_REQUEST_OUTPUT)));
    close(chip);
    return 0;
}

int holdScenario() {
    gpiod_line_request* request = requestV2(8, GPIOD_LINE_DIRECTION_OUTPUT, GPIOD_LINE_VALUE_ACTIVE);
    if (request == nullptr) return 2;
    for (;;) pause();
}

int runChild(const char* scenario) {
    int result = 4;
    if (strcmp(scenario, "info") == 0) result = infoScenario();
    if (strcmp(scenario, "busy") == 0) result = busyScenario();
    if (strcmp(scenario, "values") == 0) result = valuesScenario();
    if (strcmp(scenario, "lifetime") == 0) result = lifetimeScenario();
    if (strcmp(scenario, "hold") == 0) result = holdScenario();
    fflush(stdout);
    return result;
}

// ---- parent side ----

class SimulatedChip : public SimChipTest {
protected:
    void TearDown() override {
        testbed::stop(child, SIGKILL);
        SimChipTest::TearDown();
    }

    void start(const char* scenario) { ASSERT_TRUE(startSelf(child, {"--sim-child", scenario})); }

    // Runs the scenario to its end; its exit status must be 0.
    std::string run(const char* scenario) {
        start(scenario);
        EXPECT_TRUE(testbed::waitEnd(child, kWaitMs)) << scenario << " did not end";
        EXPECT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0) << "status " << child.status;
        EXPECT_EQ(child.err, "");
        return child.out;
    }

    int hold(uint32_t offset, SimDirection direction, const char* consumer) {
        SimLineRequest line{offset, direction, 0};
        return simRequest(session, &line, 1, consumer);
    }

    testbed::Process child;
};

TEST_F(SimulatedChip, PassesLibgpiodsDeviceChecksAndReportsChipAndLineInfo) {
    int holder = hold(8, kSimOutput, "holder");
    ASSERT_GE(holder, 0);
    EXPECT_EQ(run("info"), "gpiochip0 gpiosim 16\n8 used holder output\n3 free - input\n");
    EXPECT_EQ(simChipOpens(session), 1u);
    close(holder);
}

TEST_F(SimulatedChip, RefusesAHeldLineWithEbusyAcrossProcessesAndWithinOne) {
    int holder = hold(8, kSimInput, "holder");
    ASSERT_GE(holder, 0);
    EXPECT_EQ(run("busy"),
              "v2 line 8: Device or resource busy\n"
              "v1 line 8: Device or resource busy\n"
              "v1 line 9: granted\n"
              "v1 line 9 again: Device or resource busy\n"
              "v2 line 9 again: Device or resource busy\n");
    close(holder);
    EXPECT_FALSE(simIsHeld(session, 8));
    EXPECT_FALSE(simIsHeld(session, 9)) << "the child's handle outlived the child";
}

TEST_F(SimulatedChip, AllOrNoneOfAMultiLineRequestIsGranted) {
    int holder = hold(10, kSimInput, "holder");
    ASSERT_GE(holder, 0);
    SimLineRequest lines[3] = {{8, kSimOutput, 1}, {9, kSimOutput, 1}, {10, kSimOutput, 1}};
    EXPECT_EQ(simRequest(session, lines, 3, "many"), -1);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_FALSE(simIsHeld(session, 8));
    EXPECT_FALSE(simIsHeld(session, 9));
    EXPECT_EQ(simDriven(session, 8), 0);
    SimLineRequest twice[2] = {{8, kSimInput, 0}, {8, kSimInput, 0}};
    EXPECT_EQ(simRequest(session, twice, 2, "twice"), -1);
    EXPECT_EQ(errno, EBUSY);
    close(holder);
}

TEST_F(SimulatedChip, CarriesLevelsBetweenWiredLinesAndToAndFromTheOutside) {
    simWire(session, 8, 6);
    simSetFailReads(session, 4, true);
    start("values");
    ASSERT_TRUE(waitFor([&] { return simIsHeld(session, 8) && simIsHeld(session, 4); }, kWaitMs)) << child.err;
    EXPECT_EQ(simDriven(session, 8), 1);
    EXPECT_EQ(simLevel(session, 6), 1);
    simSetExternal(session, 15, 1);
    ASSERT_TRUE(waitFor([&] { return simDriven(session, 8) == 0; }, kWaitMs)) << "the child did not see line 15 rise";
    simSetExternal(session, 15, 0);
    ASSERT_TRUE(testbed::waitEnd(child, kWaitMs));
    EXPECT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0) << "status " << child.status;
    EXPECT_EQ(child.out,
              "wired high: 1\n"
              "wired low: 0\n"
              "failing: -1 Input/output error\n"
              "drive input: -1 Operation not permitted\n");
    EXPECT_EQ(child.err, "");
}

TEST_F(SimulatedChip, KeepsALineForTheLifeOfItsHandleOnly) {
    EXPECT_EQ(run("lifetime"),
              "get after chip close: 0 1\n"
              "set after chip close: 0\n"
              "v2 call on v1 handle: Invalid argument\n"
              "after handle close: granted\n"
              "offset off the chip: Invalid argument\n"
              "input and output: Invalid argument\n");
    EXPECT_EQ(simDriven(session, 8), 0);
    EXPECT_FALSE(simIsHeld(session, 8));
    EXPECT_EQ(simDirection(session, 8), kSimInput);
}

TEST_F(SimulatedChip, GivesBackTheLinesOfAProcessThatIsKilled) {
    start("hold");
    // The lock that marks a line held is taken a moment before the level is
    // written; wait for the whole request, as its caller would see it.
    ASSERT_TRUE(waitFor([&] { return simIsHeld(session, 8) && simDriven(session, 8) == 1; }, kWaitMs)) << child.err;
    ASSERT_TRUE(testbed::stop(child, SIGKILL));
    EXPECT_FALSE(simIsHeld(session, 8));
    EXPECT_EQ(simDriven(session, 8), 1);  // a released line keeps its last level
    int again = hold(8, kSimInput, "next");
    EXPECT_GE(again, 0);
    close(again);
}

// ---- the control tool ----

std::string runCtl(const std::vector<std::string>& args, int& status) {
    testbed::Process ctl;
    std::vector<std::string> argv = {KIT_GPIOSIM_CTL};
    argv.insert(argv.end(), args.begin(), args.end());
    testbed::StartOptions options;
    options.captureOut = options.captureErr = true;
    options.env.emplace();
    if (!testbed::start(ctl, argv, options)) return "not started";
    bool ended = testbed::waitEnd(ctl, kWaitMs);
    testbed::stop(ctl, SIGKILL);
    status = ended && WIFEXITED(ctl.status) ? WEXITSTATUS(ctl.status) : -1;
    return ctl.out + ctl.err;
}

TEST(GpiosimCtl, CreatesWiresSetsAndShowsTheLines) {
    TempDir dir;
    std::string state = dir.path + "/chip";
    int status = -1;
    EXPECT_EQ(runCtl({state, "create", "/dev/gpiochip3", "4"}, status), "");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(runCtl({state, "wire", "0", "1", "set", "2", "1", "fail", "3", "1"}, status), "");
    EXPECT_EQ(status, 0);

    SimSession session;
    ASSERT_TRUE(simAttach(state.c_str(), session));
    EXPECT_STREQ(session.chip->path, "/dev/gpiochip3");
    SimLineRequest line{0, kSimOutput, 1};
    int fd = simRequest(session, &line, 1, "rel");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(runCtl({state, "show"}, status),
              "0 output 1 held:rel\n"
              "1 input 1 free from 0\n"
              "2 input 1 free\n"
              "3 input 0 free failing\n");
    close(fd);
    EXPECT_EQ(runCtl({state, "set", "2", "0", "unwire", "1", "get", "2", "get", "1"}, status), "0\n0\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(runCtl({state, "set", "9", "1"}, status), "gpiosim_ctl: bad command at \"set\"\n");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(runCtl({state, "set", "1", "2"}, status), "gpiosim_ctl: bad command at \"set\"\n");
    EXPECT_EQ(status, 1);
    simDetach(session);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "--sim-child") == 0) return runChild(argv[2]);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
