#include "rtcsim.h"

#include "core/isolate.h"
#include "core/standin.h"

#include <signal.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace testbed {
namespace {

constexpr long kLookMs = 20;
constexpr long kFirstStepMs = 500;
constexpr long kStepMs = 1000;
constexpr long kIrqDelayMs = 1000;

// Replaces path as a whole, so a reader sees the old text or the new one, never a part.
bool replaceFile(const std::string& path, const std::string& text) {
    std::string temp = path + ".rtcsim";
    return writeFile(temp, text) && rename(temp.c_str(), path.c_str()) == 0;
}

// What identifies one version of a file: a write changes its time or size.
struct Version {
    bool exists = false;
    ino_t inode = 0;
    long long sec = 0, nsec = 0;
    off_t size = 0;
    bool operator==(const Version&) const = default;
};

Version versionOf(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return {};
    return {true, st.st_ino, st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_size};
}

}  // namespace

std::string rtcTimeText(long secondsOfDay) {
    long s = ((secondsOfDay % 86400) + 86400) % 86400;
    char text[16];
    snprintf(text, sizeof text, "%02ld:%02ld:%02ld\n", s / 3600, s / 60 % 60, s % 60);
    return text;
}

std::string bumpIrqText(const std::string& text, int step) {
    size_t p = 0;
    while (p < text.size() && isspace(static_cast<unsigned char>(text[p]))) ++p;
    size_t digits = p;
    if (digits < text.size() && (text[digits] == '-' || text[digits] == '+')) ++digits;
    size_t end = digits;
    while (end < text.size() && isdigit(static_cast<unsigned char>(text[end])) && end - digits < 9) ++end;
    if (end == digits) return std::to_string(step) + "\n";
    long value = strtol(text.substr(p, end - p).c_str(), nullptr, 10);
    return std::to_string(value + step) + text.substr(end);
}

int runRtcSim(const RtcSimOptions& options) {
    catchStopSignals();

    const std::string timePath = options.dir + "/time";
    const std::string alarmPath = options.dir + "/wakealarm";
    long seconds = options.startSeconds;
    if (!replaceFile(timePath, rtcTimeText(seconds))) {
        fprintf(stderr, "rtcsim: cannot write %s\n", timePath.c_str());
        return 1;
    }
    if (!versionOf(alarmPath).exists) replaceFile(alarmPath, "");
    printf("ready\n");
    fflush(stdout);

    const long long start = nowMs();
    long long nextStep = start + kFirstStepMs;
    long long irqDue = -1;
    Version alarmSeen = versionOf(alarmPath);
    while (!stopRequested() && nowMs() - start < options.limitMs) {
        long long now = nowMs();
        if (!options.frozen && now >= nextStep) {
            replaceFile(timePath, rtcTimeText(++seconds));
            nextStep += kStepMs;
        }
        Version alarm = versionOf(alarmPath);
        if (alarm != alarmSeen) {
            alarmSeen = alarm;
            if (options.raiseIrq && !options.irqFile.empty() && irqDue < 0) irqDue = now + kIrqDelayMs;
        }
        if (irqDue >= 0 && now >= irqDue) {
            replaceFile(options.irqFile, bumpIrqText(readFile(options.irqFile), options.irqStep));
            irqDue = -1;
        }
        sleepMs(kLookMs);
    }
    return 0;
}

bool startRtcSim(Process& clock, const RtcSimOptions& options) {
    StartOptions capture;
    capture.captureOut = true;
    auto body = [&] { return runRtcSim(options); };
    std::string line;
    if (startBody(clock, body, capture) && waitLine(clock, "ready", line, 5000)) return true;
    stop(clock, SIGTERM);
    return false;
}

}  // namespace testbed
