// RTC test against fixture attributes in a private mount namespace, driven by
// the simulated clock.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "expect.h"
#include "isolated.h"
#include "rtcsim/rtcsim.h"
#include "skip.h"
#include "tests/rtc.h"

namespace {

constexpr int kFailed = 0;
constexpr int kPassed = 1;
constexpr int kNoClock = 2;
constexpr int32_t kIrq = 61000;  // far above any real interrupt number

const std::string kIrqDir = "/sys/kernel/irq/" + std::to_string(kIrq);

std::string info(const std::string& text) { return expect::info("testRtc", text); }
std::string err(const std::string& text) { return expect::error("testRtc", text); }
std::string opening(const std::string& device, const std::string& name, int alarm) {
    return info("Testing [" + device + "] [" + name + "] RTC with alarm [" + std::to_string(alarm) + "] irq [" +
                std::to_string(kIrq) + "]\n");
}
std::string times(const std::string& t1, const std::string& t2) {
    return info("RTC time 1 [" + t1 + "]\n") + info("RTC time 2 [" + t2 + "]\n");
}
std::string irqs(int c1, int c2) {
    return info("CPU IRQ 1 [" + std::to_string(c1) + "]\n") + info("CPU IRQ 2 [" + std::to_string(c2) + "]\n");
}

// One RTC as the fixture sets it up inside the child.
struct Rtc {
    std::string device = "rtc7";
    std::string name = "snvs_rtc\n";
    bool clock = true;  // the simulated clock runs the time attribute
    std::string time;   // fixed time text when the clock does not run
    bool frozen = false;
    bool raiseIrq = true;
    int irqStep = 1;
    std::string irqText = "5,0,0,0\n";  // empty: no interrupt count file
    std::string fakeSleep;              // body of a "sleep" put first in PATH; empty: the real one
};

// Sets the RTC up in a private mount namespace, runs testRtc there and gives
// its output; exit code kPassed or kFailed.
ChildResult runRtc(const Rtc& rtc, const char* expected, bool alarm) {
    auto r = runIsolated(kMountNs, [&] {
        std::string dir = "/sys/class/rtc/" + rtc.device;
        testbed::makeFixtureDir(dir.c_str());
        testbed::writeFixture(dir + "/name", rtc.name);
        if (!rtc.irqText.empty()) {
            testbed::makeFixtureDir(kIrqDir.c_str());
            testbed::writeFixture(kIrqDir + "/per_cpu_count", rtc.irqText);
        }
        TempDir bin;
        if (!rtc.fakeSleep.empty()) {
            std::string sleep = bin.path + "/sleep";
            testbed::writeFixture(sleep, "#!/bin/sh\n" + rtc.fakeSleep);
            chmod(sleep.c_str(), 0755);
            testbed::prependPath(bin.path);
        }
        testbed::Process sim;
        if (rtc.clock) {
            testbed::RtcSimOptions options;
            options.dir = dir;
            options.irqFile = rtc.irqText.empty() ? "" : kIrqDir + "/per_cpu_count";
            options.frozen = rtc.frozen;
            options.raiseIrq = rtc.raiseIrq;
            options.irqStep = rtc.irqStep;
            options.limitMs = 30000;
            if (!testbed::startRtcSim(sim, options)) return kNoClock;
        } else {
            testbed::writeFixture(dir + "/time", rtc.time);
        }
        bool ok = testRtc(rtc.device.c_str(), expected, alarm, kIrq);
        testbed::stop(sim, SIGTERM);
        return ok ? kPassed : kFailed;
    });
    if (r.skipped) return r;
    EXPECT_FALSE(r.timedOut);
    EXPECT_NE(r.exitCode, kNoClock) << "the simulated clock did not start";
    return r;
}

}  // namespace

TEST(RtcTime, RunningClockWithMatchingNamePassesWithoutLookingAtTheAlarm) {
    Rtc rtc;
    rtc.irqText = "";  // reading it would fail the test
    auto r = runRtc(rtc, "snvs", false);
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, kPassed);
    EXPECT_EQ(r.out, opening("rtc7", "snvs", 0) + times("12:00:00", "12:00:02"));
}

TEST(RtcTime, FrozenClockFailsShowingTimeOne) {
    Rtc rtc;
    rtc.frozen = true;
    auto r = runRtc(rtc, "snvs_rtc", true);
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, kFailed);
    EXPECT_EQ(r.out, opening("rtc7", "snvs_rtc", 1) + times("12:00:00", "12:00:00") +
                         err("RTC time increment failed [12:00:00]\n"));
}

TEST(RtcTime, TimeHoldingOnlyANewlineComparesEqualAndFails) {
    Rtc rtc;
    rtc.clock = false;
    rtc.time = "\n";
    auto r = runRtc(rtc, "", false);
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, kFailed);
    EXPECT_EQ(r.out, opening("rtc7", "", 0) + times("", "") + err("RTC time increment failed []\n"));
}

TEST(RtcTime, SleepThatFailsIsReportedAsALine) {
    Rtc rtc;
    rtc.clock = false;
    rtc.time = "10:00:00\n";
    rtc.fakeSleep = "exit 1\n";
    auto r = runRtc(rtc, "snvs", false);
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, kFailed);
    EXPECT_EQ(r.out, opening("rtc7", "snvs", 0) + info("RTC time 1 [10:00:00]\n") + err("System call [sleep] error\n"));
}

TEST(RtcTime, MissingTimeAttributeFailsWithTheReadersError) {
    auto r = runIsolated(kMountNs, [] {
        testbed::makeFixtureDir("/sys/class/rtc/rtc8");
        testbed::writeFixture("/sys/class/rtc/rtc8/name", "snvs\n");
        return testRtc("rtc8", "snvs", false, kIrq) ? kPassed : kFailed;
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, kFailed);
    EXPECT_EQ(r.out, opening("rtc8", "snvs", 0) +
                         expect::error("openAndRead", "Failed to open [/sys/class/rtc/rtc8/time] file\n"));
}

TEST(RtcName, PrefixOfTheAttributePassesAndTheEmptyNameAlwaysDoes) {
    Rtc rtc;
    rtc.clock = false;
    rtc.time = "10:00:00\n";
    for (const char* expected : {"snvs_rtc", "s", ""}) {
        auto r = runRtc(rtc, expected, false);
        SKIP_IF_NO_NAMESPACES(r);
        EXPECT_EQ(r.out, opening("rtc7", expected, 0) + times("10:00:00", "10:00:00") +
                             err("RTC time increment failed [10:00:00]\n"))
            << expected;
    }
}

// A name attribute that does not begin with the expected name fails before
// the clock is read, showing the bytes read, what they were and the name.
TEST(RtcName, MismatchShowsTheBytesReadTheContentAndTheExpectedName) {
    struct {
        std::string attribute;
        const char* expected;
        bool alarm;
        std::string failure;
    } cases[] = {
        {"rx8025\n", "snvs", true, "RTC name mismatch [7] [rx8025\n] [snvs]\n"},  // its newline shown
        {"snv", "snvs", false, "RTC name mismatch [3] [snv] [snvs]\n"},           // shorter than expected
        // A full 64-byte attribute is shown without reading past it.
        {std::string(70, 'a'), "b", false, "RTC name mismatch [64] [" + std::string(64, 'a') + "] [b]\n"},
    };
    for (const auto& c : cases) {
        Rtc rtc;
        rtc.name = c.attribute;
        rtc.clock = false;
        auto r = runRtc(rtc, c.expected, c.alarm);
        SKIP_IF_NO_NAMESPACES(r);
        EXPECT_EQ(r.exitCode, kFailed) << c.attribute;
        EXPECT_EQ(r.out, opening("rtc7", c.expected, c.alarm ? 1 : 0) + err(c.failure)) << c.attribute;
    }
}

TEST(RtcName, MissingNameAttributeFailsWithTheReadersError) {
    auto r = runIsolated(kMountNs, [] {
        testbed::makeFixtureDir("/sys/class/rtc/rtc9");
        return testRtc("rtc9", "snvs", true, kIrq) ? kPassed : kFailed;
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, kFailed);
    EXPECT_EQ(r.out, opening("rtc9", "snvs", 1) +
                         expect::error("openAndRead", "Failed to open [/sys/class/rtc/rtc9/name] file\n"));
}

namespace {

// One wake-alarm case: the RTC as the row sets it up (a running clock named
// "snvs_rtc", count file "5,0,0,0"), the verdict and what follows the
// two time lines in the log.
struct AlarmCase {
    const char* id;
    Rtc rtc;
    int verdict;
    std::string tail;
};

Rtc alarmRtc(void (*change)(Rtc&)) {
    Rtc rtc;
    change(rtc);
    return rtc;
}

// The first sleep (the time test) works, the one in the alarm command fails.
const char* const kSecondSleepFails =
    "if [ -e \"$0.used\" ]; then exit 1; fi\n: > \"$0.used\"\nexec /bin/sleep \"$@\"\n";

const AlarmCase kAlarmCases[] = {
    // rtc_board_clock_01 is the longest name the alarm command holds.
    {"CountThatChangesPasses", alarmRtc([](Rtc& r) { r.device = "rtc_board_clock_01"; }), kPassed, irqs(5, 6)},
    {"CountThatFallsAlsoPasses", alarmRtc([](Rtc& r) { r.irqStep = -1; }), kPassed, irqs(5, 4)},
    {"UnchangedCountFailsWithIrqNotReceived", alarmRtc([](Rtc& r) { r.raiseIrq = false; }), kFailed,
     irqs(5, 5) + err("RTC IRQ not received\n")},
    {"WhiteSpaceOnlyCountIsTakenAsZero", alarmRtc([](Rtc& r) { r.irqText = "  \n"; }), kPassed, irqs(0, 1)},
    {"CountThatIsNotANumberFailsToParse", alarmRtc([](Rtc& r) { r.irqText = "n/a,3\n"; }), kFailed,
     err("Failed parse irq data [n/a,3\n]\n")},
    {"FullSixtyFourByteCountIsShownWithoutReadingPastIt", alarmRtc([](Rtc& r) { r.irqText = std::string(80, 'x'); }),
     kFailed, err("Failed parse irq data [" + std::string(64, 'x') + "]\n")},
    // 19 characters: the command no longer fits.
    {"DeviceNameTooLongForTheAlarmCommandIsRefused", alarmRtc([](Rtc& r) { r.device = "rtc_board_clock_012"; }),
     kFailed,
     info("CPU IRQ 1 [5]\n") +
         err("Command too long [" +
             std::string("echo +1 > /sys/class/rtc/rtc_board_clock_012/wakealarm; sleep 2;").substr(0, 63) + "]\n")},
    {"FailingAlarmCommandIsReportedWithTheCommand", alarmRtc([](Rtc& r) { r.fakeSleep = kSecondSleepFails; }), kFailed,
     info("CPU IRQ 1 [5]\n") + err("System call [echo +1 > /sys/class/rtc/rtc7/wakealarm; sleep 2;] error\n")},
};

class RtcAlarm : public ::testing::TestWithParam<AlarmCase> {};

}  // namespace

TEST_P(RtcAlarm, VerdictAndLogFollowTheInterruptCount) {
    const AlarmCase& c = GetParam();
    auto r = runRtc(c.rtc, "snvs", true);
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, c.verdict);
    EXPECT_EQ(r.out, opening(c.rtc.device, "snvs", 1) + times("12:00:00", "12:00:02") + c.tail);
}

INSTANTIATE_TEST_SUITE_P(Cases, RtcAlarm, ::testing::ValuesIn(kAlarmCases),
                         [](const ::testing::TestParamInfo<AlarmCase>& row) { return std::string(row.param.id); });

TEST(RtcParsing, IrqCountTakesTheFirstNumberOfTheList) {
    int32_t count = -1;
    EXPECT_TRUE(parseIrqCount("42,7,0,0\n", count));
    EXPECT_EQ(count, 42);
    EXPECT_TRUE(parseIrqCount(" \t-3,1", count));
    EXPECT_EQ(count, -3);
    EXPECT_TRUE(parseIrqCount("+8", count));
    EXPECT_EQ(count, 8);
    EXPECT_TRUE(parseIrqCount("17abc", count));
    EXPECT_EQ(count, 17);
}

TEST(RtcParsing, IrqCountOfEmptyOrWhiteSpaceTextIsZero) {
    int32_t count = -1;
    EXPECT_TRUE(parseIrqCount("", count));
    EXPECT_EQ(count, 0);
    count = -1;
    EXPECT_TRUE(parseIrqCount(" \n\t", count));
    EXPECT_EQ(count, 0);
}

TEST(RtcParsing, IrqCountNotStartingWithANumberFails) {
    int32_t count = -1;
    for (const char* text : {"abc", ",5", "-", "+ 5", "x1"}) {
        EXPECT_FALSE(parseIrqCount(text, count)) << text;
        EXPECT_EQ(count, 0) << text;
    }
}

TEST(RtcParsing, IrqCountBeyondThirtyTwoBitsKeepsItsLowBits) {
    int32_t count = 0;
    EXPECT_TRUE(parseIrqCount("4294967297,0", count));
    EXPECT_EQ(count, 1);
    EXPECT_TRUE(parseIrqCount("2147483648", count));
    EXPECT_EQ(count, INT32_MIN);
    EXPECT_TRUE(parseIrqCount("99999999999999999999999", count));  // saturates at 64 bits first
    EXPECT_EQ(count, -1);
}

TEST(RtcParsing, NameMatchIsAPrefixMatchOverTheBytesRead) {
    EXPECT_TRUE(isRtcNamePrefix("snvs_rtc\n", 9, "snvs"));
    EXPECT_TRUE(isRtcNamePrefix("snvs", 4, "snvs"));
    EXPECT_TRUE(isRtcNamePrefix("x", 1, ""));
    EXPECT_FALSE(isRtcNamePrefix("snvs", 3, "snvs"));
    EXPECT_FALSE(isRtcNamePrefix("snvx", 4, "snvs"));
    EXPECT_FALSE(isRtcNamePrefix("rtc", 3, "snvs_rtc"));
}

TEST(RtcSimulator, TimeTextIsHoursMinutesSecondsAndWraps) {
    EXPECT_EQ(testbed::rtcTimeText(0), "00:00:00\n");
    EXPECT_EQ(testbed::rtcTimeText(12 * 3600 + 61), "12:01:01\n");
    EXPECT_EQ(testbed::rtcTimeText(86400 + 5), "00:00:05\n");
}

TEST(RtcSimulator, AlarmChangesOnlyTheFirstCount) {
    EXPECT_EQ(testbed::bumpIrqText("5,0,0,0\n", 1), "6,0,0,0\n");
    EXPECT_EQ(testbed::bumpIrqText("5\n", -1), "4\n");
    EXPECT_EQ(testbed::bumpIrqText("  \n", 1), "1\n");
}
