#include "storage.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "../log/log.h"

namespace {
constexpr size_t kFixtureBytes = 8;
constexpr const char* kFixtureText = "testfile";
}  // namespace

int32_t toInt32Saturated(float value) {
    if (std::isnan(value)) return 0;
    if (value >= 2147483648.0f) return INT32_MAX;
    if (value <= -2147483648.0f) return INT32_MIN;
    return static_cast<int32_t>(value);
}

float parseAdcText(char* text, size_t count) {
    text[count - 1] = '\0';
    double value = strtod(text, nullptr);
    // Narrowing a double beyond float's range is undefined; the board's
    // conversion gives infinity there, so give it explicitly.
    if (value > std::numeric_limits<float>::max()) return std::numeric_limits<float>::infinity();
    if (value < -std::numeric_limits<float>::max()) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
}

int32_t parseTemperatureText(char* text, size_t count) {
    text[count] = '\0';
    // Narrowing keeps the low 32 bits, as the board's conversion does.
    return static_cast<int32_t>(static_cast<uint32_t>(strtol(text, nullptr, 10)));
}

bool testDisk(const char* directory) {
    char path[128] = {};
    if (!formatPath(path, "testDisk", "%s/%s", directory, "testfile.txt")) return false;
    logInfo("testDisk", "Testing [%s] file\n", path);

    char content[kFixtureBytes + 1] = {};
    size_t count = 0;
    if (!openAndRead(path, content, count, kFixtureBytes)) return false;
    if (count != kFixtureBytes) {
        logError("testDisk", "Wrong test file content size [%lu] != %lu\n", static_cast<unsigned long>(count),
                 static_cast<unsigned long>(kFixtureBytes));
        return false;
    }
    if (strncmp(content, kFixtureText, count) != 0) {
        logError("testDisk", "Wrong test file content [%s]\n", content);
        return false;
    }
    return true;
}

bool checkAdcChannel(const char* rawPath, int32_t lower, int32_t upper, float scale) {
    char text[16] = {};
    size_t count = 0;
    if (!openAndRead(rawPath, text, count, sizeof text)) return false;
    float raw = parseAdcText(text, count);
    logInfo("checkAdcChannel", "ADC channel raw [%s] [%s] [%d]\n", rawPath, text, toInt32Saturated(raw));
    // Written as "not greater than zero" so that NaN passes on, as the board does.
    if (raw <= 0.0f) {
        logError("checkAdcChannel", "ADC channel value error [%s] [%s] [%d]\n", rawPath, text, toInt32Saturated(raw));
        return false;
    }
    float voltage = raw * scale;
    logInfo("checkAdcChannel", "ADC channel voltage [%s] [%d]\n", rawPath, toInt32Saturated(voltage));
    if (static_cast<float>(lower) <= voltage && voltage <= static_cast<float>(upper)) return true;
    logError("checkAdcChannel", "ADC channel voltage out of range [%s] [%d<=%d<=%d]\n", rawPath, lower,
             toInt32Saturated(voltage), upper);
    return false;
}

bool testAdc(const char* device, int32_t channelCount, int32_t lower, int32_t upper) {
    logInfo("testAdc", "Testing ADC device [%s]\n", device);
    char path[128] = {};
    if (!formatPath(path, "testAdc", "/sys/bus/iio/devices/%s/in_voltage0_scale", device)) return false;
    char text[16] = {};
    size_t count = 0;
    if (!openAndRead(path, text, count, sizeof text)) return false;
    float scale = parseAdcText(text, count);
    logInfo("testAdc", "ADC scale [%s] [%d]\n", text, toInt32Saturated(scale));
    if (scale <= 0.0f) {
        logError("testAdc", "ADC incorrect scale [%s] [%d]\n", text, toInt32Saturated(scale));
        return false;
    }
    bool result = true;
    for (int32_t i = 0; i < channelCount; ++i) {
        if (!formatPath(path, "testAdc", "/sys/bus/iio/devices/%s/in_voltage%d_raw", device, i)) return false;
        logInfo("testAdc", "ADC testing channel [%s]\n", path);
        if (!checkAdcChannel(path, lower, upper, scale)) result = false;
    }
    return result;
}

bool testTemperature(const char* path, int32_t lower, int32_t upper) {
    logInfo("testTemperature", "Checking [%s] temperature\n", path);
    char text[16] = {};
    size_t count = 0;
    if (!openAndRead(path, text, count, sizeof text - 1)) return false;
    int32_t value = parseTemperatureText(text, count);
    logInfo("testTemperature", "Temperature value [%d]\n", value);
    if (lower <= value && upper >= value) return true;
    logError("testTemperature", "Temperature incorrect [%d<=%d<=%d]\n", lower, value, upper);
    return false;
}
