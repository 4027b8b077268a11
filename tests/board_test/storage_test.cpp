#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "expect.h"
#include "isolated.h"
#include "skip.h"
#include "tests/storage.h"

using testbed::writeFixture;

namespace {

const std::string kIio = "/sys/bus/iio/devices/iio:device0";

// Runs an ADC check inside a private mount namespace holding the given attributes.
ChildResult adc(const std::string& scale, const std::vector<std::string>& raws, int channels, int lo, int hi) {
    return runIsolated(kMountNs, [&] {
        testbed::makeFixtureDir(kIio.c_str());
        if (!scale.empty()) writeFixture(kIio + "/in_voltage0_scale", scale);
        for (size_t i = 0; i < raws.size(); ++i)
            writeFixture(kIio + "/in_voltage" + std::to_string(i) + "_raw", raws[i]);
        return testAdc("iio:device0", channels, lo, hi) ? 0 : 1;
    });
}

std::string adcHead(const std::string& scaleText, int scaleInt) {
    return expect::info("testAdc", "Testing ADC device [iio:device0]\n") +
           expect::info("testAdc", "ADC scale [" + scaleText + "] [" + std::to_string(scaleInt) + "]\n");
}

std::string channel(int i, const std::string& rawText, int rawInt) {
    std::string path = kIio + "/in_voltage" + std::to_string(i) + "_raw";
    return expect::info("testAdc", "ADC testing channel [" + path + "]\n") +
           expect::info("checkAdcChannel",
                        "ADC channel raw [" + path + "] [" + rawText + "] [" + std::to_string(rawInt) + "]\n");
}

std::string voltage(int i, int v) {
    return expect::info("checkAdcChannel", "ADC channel voltage [" + kIio + "/in_voltage" + std::to_string(i) +
                                               "_raw] [" + std::to_string(v) + "]\n");
}

// testDisk on a directory whose testfile.txt holds the row's text: a file
// starting with "testfile" passes with only the entry naming it; any other
// fails with its own entry after that one.
struct DiskCase {
    const char* what;
    const char* content;  // null: no file
    bool passes;
    std::string report;  // what follows the entry naming the file
};

}  // namespace

TEST(Disk, VerdictAndLogFollowTheFixture) {
    TempDir dir;
    std::string path = dir.path + "/testfile.txt";
    const DiskCase cases[] = {
        {"fixture that is the expected text passes", "testfile", true, ""},
        {"fixture with a newline after the expected text passes", "testfile\n", true, ""},
        {"fixture starting with the expected text passes", "testfile and more", true, ""},
        {"short fixture fails with the size", "testfil", false,
         expect::error("testDisk", "Wrong test file content size [7] != 8\n")},
        {"wrong fixture fails with its content", "TESTFILE!", false,
         expect::error("testDisk", "Wrong test file content [TESTFILE]\n")},
        {"empty fixture fails with the read error", "", false,
         expect::error("openAndRead", "Failed to read [" + path + "] content\n")},
        {"missing fixture fails with the open error", nullptr, false,
         expect::error("openAndRead", "Failed to open [" + path + "] file\n")},
    };
    const std::string head = expect::info("testDisk", "Testing [" + path + "] file\n");
    for (const DiskCase& c : cases) {
        SCOPED_TRACE(c.what);
        unlink(path.c_str());
        if (c.content != nullptr) writeFixture(path, c.content);
        auto r = runIsolated(0, [&] { return testDisk(dir.path.c_str()) ? 0 : 1; });
        EXPECT_EQ(r.exitCode, c.passes ? 0 : 1);
        EXPECT_EQ(r.out, head + c.report);
    }
}

TEST(Disk, DirectoryTooLongForThePathBufferIsRefused) {
    std::string longDir = "/" + std::string(130, 'd');
    auto r = runIsolated(0, [&] { return testDisk(longDir.c_str()) ? 1 : 0; });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, expect::error("testDisk", "Path too long [" + (longDir + "/testfile.txt").substr(0, 127) + "]\n"));
}

namespace {

// One run of testAdc("iio:device0", channels, 2, 3) over the attributes a
// row sets up: its verdict and its log.
struct AdcCase {
    const char* what;
    std::string scale;  // empty: no device
    std::vector<std::string> raws;
    int channels;
    bool passes;
    std::string out;
};

std::string outOfRange(int i, int v) {
    return expect::error("checkAdcChannel", "ADC channel voltage out of range [" + kIio + "/in_voltage" +
                                                std::to_string(i) + "_raw] [2<=" + std::to_string(v) + "<=3]\n");
}

std::string valueError(const std::string& text, int asInt) {
    return expect::error("checkAdcChannel", "ADC channel value error [" + kIio + "/in_voltage0_raw] [" + text + "] [" +
                                                std::to_string(asInt) + "]\n");
}

}  // namespace

TEST(Adc, VerdictAndLogFollowTheAttributes) {
    const AdcCase cases[] = {
        {"voltage within the bounds passes",
         "0.5\n",
         {"5\n"},
         1,
         true,
         adcHead("0.5", 0) + channel(0, "5", 5) + voltage(0, 2)},
        {"voltage equal to the lower bound passes",
         "1\n",
         {"2\n"},
         1,
         true,
         adcHead("1", 1) + channel(0, "2", 2) + voltage(0, 2)},
        {"voltage equal to the upper bound passes",
         "1\n",
         {"3\n"},
         1,
         true,
         adcHead("1", 1) + channel(0, "3", 3) + voltage(0, 3)},
        {"out of range compares the product but shows its truncation",
         "0.34\n",
         {"10\n"},
         1,
         false,
         adcHead("0.34", 0) + channel(0, "10", 10) + voltage(0, 3) + outOfRange(0, 3)},
        {"zero scale fails without reading any channel",
         "0\n",
         {},
         1,
         false,
         adcHead("0", 0) + expect::error("testAdc", "ADC incorrect scale [0] [0]\n")},
        {"zero raw value is a value error",
         "1\n",
         {"0\n"},
         1,
         false,
         adcHead("1", 1) + channel(0, "0", 0) + valueError("0", 0)},
        {"negative raw value is a value error",
         "1\n",
         {"-4\n"},
         1,
         false,
         adcHead("1", 1) + channel(0, "-4", -4) + valueError("-4", -4)},
        {"raw value without a number is a value error",
         "1\n",
         {"abc\n"},
         1,
         false,
         adcHead("1", 1) + channel(0, "abc", 0) + valueError("abc", 0)},
        {"not a number passes the value test and fails the range test shown as zero",
         "1\n",
         {"nan\n"},
         1,
         false,
         adcHead("1", 1) + channel(0, "nan", 0) + voltage(0, 0) + outOfRange(0, 0)},
        {"every channel is read even after a failure",
         "1\n",
         {"9\n", "2\n", "3\n"},
         3,
         false,
         adcHead("1", 1) + channel(0, "9", 9) + voltage(0, 9) + outOfRange(0, 9) + channel(1, "2", 2) + voltage(1, 2) +
             channel(2, "3", 3) + voltage(2, 3)},
        {"zero channels with a valid scale passes without reading raw files", "1\n", {}, 0, true, adcHead("1", 1)},
        {"missing device fails with the open error",
         "",
         {},
         1,
         false,
         expect::info("testAdc", "Testing ADC device [iio:device0]\n") +
             expect::error("openAndRead", "Failed to open [" + kIio + "/in_voltage0_scale] file\n")},
    };
    for (const AdcCase& c : cases) {
        SCOPED_TRACE(c.what);
        auto r = adc(c.scale, c.raws, c.channels, 2, 3);
        SKIP_IF_NO_NAMESPACES(r);
        EXPECT_EQ(r.exitCode, c.passes ? 0 : 1);
        EXPECT_EQ(r.out, c.out);
    }
}

TEST(AdcText, SixteenByteTextLosesItsLastByteToTheCut) {
    char text[16];
    memcpy(text, "1234567890123456", 16);
    EXPECT_EQ(parseAdcText(text, 16), 123456789012345.0f);
    EXPECT_STREQ(text, "123456789012345");
}

TEST(AdcText, ValuesBeyondFloatRangeBecomeInfinityAndSaturateWhenShown) {
    char big[16] = "1e39\n";
    char small[16] = "-1e300\n";
    EXPECT_EQ(parseAdcText(big, 5), std::numeric_limits<float>::infinity());
    EXPECT_EQ(parseAdcText(small, 7), -std::numeric_limits<float>::infinity());
    EXPECT_EQ(toInt32Saturated(parseAdcText(big, 5)), INT32_MAX);
}

TEST(FloatToInt, ConvertsLikeTheBoardsCpuForEveryValue) {
    EXPECT_EQ(toInt32Saturated(3.99f), 3);
    EXPECT_EQ(toInt32Saturated(-3.99f), -3);
    EXPECT_EQ(toInt32Saturated(std::numeric_limits<float>::quiet_NaN()), 0);
    EXPECT_EQ(toInt32Saturated(std::numeric_limits<float>::infinity()), INT32_MAX);
    EXPECT_EQ(toInt32Saturated(-std::numeric_limits<float>::infinity()), INT32_MIN);
    EXPECT_EQ(toInt32Saturated(3e9f), INT32_MAX);
    EXPECT_EQ(toInt32Saturated(-3e9f), INT32_MIN);
    EXPECT_EQ(toInt32Saturated(2147483520.0f), 2147483520);  // largest float below 2^31
}

TEST(Temperature, BoundsAreInclusiveAndOutsideValuesAreReported) {
    TempDir dir;
    std::string path = dir.path + "/temp";
    std::string head = expect::info("testTemperature", "Checking [" + path + "] temperature\n");
    struct Case {
        const char* text;
        int value;
        bool pass;
    } cases[] = {{"20\n", 20, true}, {"60\n", 60, true}, {"61\n", 61, false},
                 {"\n", 0, false},   {"-5", -5, false},  {"4294967316\n", 20, true}};
    for (const Case& c : cases) {
        writeFixture(path, c.text);
        auto r = runIsolated(0, [&] { return testTemperature(path.c_str(), 20, 60) ? 0 : 1; });
        std::string out =
            head + expect::info("testTemperature", "Temperature value [" + std::to_string(c.value) + "]\n");
        if (!c.pass)
            out +=
                expect::error("testTemperature", "Temperature incorrect [20<=" + std::to_string(c.value) + "<=60]\n");
        EXPECT_EQ(r.exitCode, c.pass ? 0 : 1) << c.text;
        EXPECT_EQ(r.out, out) << c.text;
    }
}

TEST(Temperature, OnlyTheFirstFifteenBytesAreParsed) {
    char text[16] = {};
    memcpy(text, "123456789012345", 15);
    EXPECT_EQ(parseTemperatureText(text, 15), static_cast<int32_t>(123456789012345LL & 0xffffffff));
}
