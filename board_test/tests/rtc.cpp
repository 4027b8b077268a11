#include "rtc.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <span>

#include "../log/log.h"

namespace {

constexpr size_t kWorkBytes = 64;
constexpr size_t kTimeBytes = 16;

// Reads the time attribute and cuts its newline (the last byte read).
bool readTime(const char* path, char (&time)[kTimeBytes], size_t& count) {
    if (!openAndRead(path, time, count, sizeof time)) return false;
    time[count - 1] = '\0';
    return true;
}

// Reads one interrupt count; false (reported) when it cannot be read or parsed.
bool readIrqCount(const char* path, char* work, size_t& count, int32_t& irqCount, int32_t step) {
    if (!openAndRead(path, work, count, kWorkBytes)) return false;
    if (!parseIrqCount(work, irqCount)) {
        logError("testRtc", "Failed parse irq data [%s]\n", work);
        return false;
    }
    logInfo("testRtc", "CPU IRQ %d [%d]\n", step, irqCount);
    return true;
}

bool testAlarm(const char* device, int32_t irq, char* path, char* work, size_t& count) {
    int32_t count1 = 0;
    int32_t count2 = 0;
    if (!formatPath(std::span<char>(path, 128), "testRtc", "/sys/kernel/irq/%d/per_cpu_count", irq)) return false;
    if (!readIrqCount(path, work, count, count1, 1)) return false;

    // The device name goes into a shell command line.
    if (!checkShellWord("testRtc", device)) return false;
    std::span<char> command(work, kWorkBytes);
    if (!formatCommand(command, "testRtc", "echo +1 > /sys/class/rtc/%s/wakealarm; sleep 2;", device)) return false;
    if (!runShell(work)) {
        logError("testRtc", "System call [%s] error\n", work);
        return false;
    }
    if (!readIrqCount(path, work, count, count2, 2)) return false;
    if (count1 != count2) return true;
    logErrorLine("testRtc", "RTC IRQ not received");
    return false;
}

}  // namespace

bool isRtcNamePrefix(const char* content, size_t count, const char* expected) {
    size_t n = strlen(expected);
    return count >= n && memcmp(content, expected, n) == 0;
}

bool parseIrqCount(const char* text, int32_t& count) {
    count = 0;
    const char* p = text;
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    if (*p == '\0') return true;  // input ended before any conversion
    char* end = nullptr;
    errno = 0;
    long value = strtol(p, &end, 10);
    if (end == p) return false;
    count = static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long>(value)));
    return true;
}

bool testRtc(const char* device, const char* expectedName, bool alarm, int32_t irq) {
    char path[128] = {};
    // One byte more than is ever read, so a full attribute still ends in a zero byte.
    char work[kWorkBytes + 1] = {};
    char time1[kTimeBytes] = {};
    char time2[kTimeBytes] = {};
    size_t count = 0;

    logInfo("testRtc", "Testing [%s] [%s] RTC with alarm [%d] irq [%d]\n", device, expectedName, alarm ? 1 : 0, irq);
    if (!formatPath(path, "testRtc", "/sys/class/rtc/%s/name", device)) return false;
    if (!openAndRead(path, work, count, kWorkBytes)) return false;
    if (!isRtcNamePrefix(work, count, expectedName)) {
        logError("testRtc", "RTC name mismatch [%lu] [%s] [%s]\n", static_cast<unsigned long>(count), work,
                 expectedName);
        return false;
    }

    if (!formatPath(path, "testRtc", "/sys/class/rtc/%s/time", device)) return false;
    if (!readTime(path, time1, count)) return false;
    logInfo("testRtc", "RTC time 1 [%s]\n", time1);
    if (!runShell("sleep 2")) {
        logErrorLine("testRtc", "System call [sleep] error");
        return false;
    }
    if (!readTime(path, time2, count)) return false;
    logInfo("testRtc", "RTC time 2 [%s]\n", time2);
    if (memcmp(time1, time2, strlen(time1)) == 0) {
        logError("testRtc", "RTC time increment failed [%s]\n", time1);
        return false;
    }
    if (!alarm) return true;
    return testAlarm(device, irq, path, work, count);
}
