#pragma once
// A simulated real-time clock behind a sysfs-like directory: its "time"
// attribute steps each second (or stays), and a write to its "wakealarm"
// attribute makes an interrupt count file change about a second later (or
// never). Plain files cannot react to a write, so the clock process watches
// them. The tests and the namespace board run it in a forked process.

#include <string>

#include "core/process.h"

namespace testbed {

struct RtcSimOptions {
    std::string dir;                // the RTC's directory: "time" and "wakealarm" live here
    std::string irqFile;            // per_cpu_count file to change on an alarm; empty: none
    bool frozen = false;            // the time never steps
    bool raiseIrq = true;           // an alarm write changes irqFile
    int irqStep = 1;                // added to the first count of irqFile on each alarm
    long startSeconds = 12 * 3600;  // the clock's first value, seconds of the day
    long limitMs = 60000;           // the clock ends by itself after this long
};

// Runs the clock until SIGTERM or SIGINT or the time limit; 0, or 1 when the
// directory cannot be written. It prints "ready" once its attributes exist.
// The first step comes half a second after the start and the next ones each
// second after it, so a reader that looks at whole seconds after the start
// never races a step.
int runRtcSim(const RtcSimOptions& options);

// Runs runRtcSim in a forked process and waits for its ready line; false
// (the clock stopped) when that does not come within 5 s.
bool startRtcSim(Process& clock, const RtcSimOptions& options);

// Pure parts. "HH:MM:SS\n" for the given second of the day (wrapping at 24 h).
std::string rtcTimeText(long secondsOfDay);
// The count list with its first number changed by step; text without a
// leading number counts as 0 followed by a newline.
std::string bumpIrqText(const std::string& text, int step);

}  // namespace testbed
