// eventfeed: stands in for a button's input event device.
//
//   eventfeed [-t MS] DEVICE STEP...
//
// DEVICE is a FIFO (created when missing), or uinput:CODE[,CODE]...: a key
// device made through the kernel's uinput driver, on boards that have one.
// Prints "ready PATH" once the device can be opened (PATH: the FIFO, or the
// uinput device's /dev/input/eventN), then runs the steps in order:
//   TYPE:CODE:VALUE         writes one 24-byte input_event record
//   part:N:TYPE:CODE:VALUE  writes only its first N (< 24) bytes (FIFO only)
//   waitopen                waits for the device's next opening (each opening
//                           is counted once, even one before the step)
//   close                   closes the device (a waiting reader sees end of file) and ends
// The FIFO is held open for reading and writing, so a reader's open never
// blocks and a record written before the reader opens is kept. After each
// write to it eventfeed waits until the reader has taken every byte, because
// a stdio reader takes all that is there in one read and drops the rest when
// it closes; records written one at a time so reach one opening each.
// After the last step the device stays until SIGTERM or SIGINT, or the time
// limit. -t MS bounds each wait and the final hold (default 60000; 0: no limit).
// Exit status: 0 done (every record taken); 1 a wait ran out; 2 bad
// arguments or an I/O error.

#include <dirent.h>
#include <fcntl.h>
#include <linux/uinput.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/fd.h"
#include "core/standin.h"

using testbed::Fd;
using testbed::nowMs;
using testbed::parseNumber;
using testbed::stopRequested;

namespace {

constexpr int kDone = 0;
constexpr int kRanOut = 1;
constexpr int kBad = 2;
constexpr int kClosed = -1;  // a step's result only: the run ends with kDone

// "TYPE:CODE:VALUE", time-stamped now.
bool parseRecord(const std::string& text, input_event& ev) {
    size_t a = text.find(':');
    size_t b = a == std::string::npos ? a : text.find(':', a + 1);
    long type = 0, code = 0, value = 0;
    if (b == std::string::npos || !parseNumber(text.substr(0, a).c_str(), 0, UINT16_MAX, type) ||
        !parseNumber(text.substr(a + 1, b - a - 1).c_str(), 0, UINT16_MAX, code) ||
        !parseNumber(text.substr(b + 1).c_str(), INT32_MIN, INT32_MAX, value))
        return false;
    ev = {};
    timeval tv{};
    gettimeofday(&tv, nullptr);
    ev.input_event_sec = tv.tv_sec;
    ev.input_event_usec = tv.tv_usec;
    ev.type = static_cast<uint16_t>(type);
    ev.code = static_cast<uint16_t>(code);
    ev.value = static_cast<int32_t>(value);
    return true;
}

struct Device {
    Fd fd;
    Fd opens;  // inotify: every opening of the device, queued until waitopen takes it
    bool fifo = true;
    std::string path;
};

// A deadline limitMs from now; a limit of 0 never comes (the virtual board holds its device for good).
long long deadlineAfter(long limitMs) { return limitMs == 0 ? LLONG_MAX : nowMs() + limitMs; }

// Waits until nothing written is left in the FIFO; false after limitMs or a stop request.
// A uinput device takes a record as it is written.
bool waitTaken(const Device& dev, long limitMs) {
    if (!dev.fifo) return true;
    long long deadline = deadlineAfter(limitMs);
    for (int left = 0;;) {
        if (ioctl(dev.fd.fd, FIONREAD, &left) != 0) return false;
        if (left == 0) return true;
        if (stopRequested() || nowMs() >= deadline) return false;
        usleep(2000);
    }
}

// Waits for the next opening of the device not yet taken.
bool waitOpen(const Device& dev, int& pending, long limitMs) {
    long long deadline = deadlineAfter(limitMs);
    while (pending == 0) {
        long long left = deadline - nowMs();
        if (stopRequested() || left <= 0) return false;
        pollfd p{dev.opens.fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left < 100 ? left : 100)) <= 0) continue;
        alignas(inotify_event) char buf[4096];
        ssize_t n = read(dev.opens.fd, buf, sizeof buf);
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
            pending += (ev->mask & IN_OPEN) != 0;
            at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        }
    }
    --pending;
    return true;
}

bool openFifo(Device& dev, const char* path) {
    if (mkfifo(path, 0600) != 0 && errno != EEXIST) return false;
    dev.fd.fd = open(path, O_RDWR | O_CLOEXEC);
    dev.path = path;
    return dev.fd.fd >= 0;
}

// A key device that can report the given codes; its event node is the one
// entry named event* below it in sysfs, there once udev (or devtmpfs) made it.
bool openUinput(Device& dev, const char* codes) {
    dev.fifo = false;
    dev.fd.fd = open("/dev/uinput", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (dev.fd.fd < 0 || ioctl(dev.fd.fd, UI_SET_EVBIT, EV_KEY) != 0 || ioctl(dev.fd.fd, UI_SET_EVBIT, EV_SYN) != 0)
        return false;
    std::string list = codes;
    for (size_t at = 0; at <= list.size();) {
        size_t comma = list.find(',', at);
        if (comma == std::string::npos) comma = list.size();
        long code = 0;
        if (!parseNumber(list.substr(at, comma - at).c_str(), 0, KEY_MAX, code) ||
            ioctl(dev.fd.fd, UI_SET_KEYBIT, code) != 0)
            return false;
        at = comma + 1;
    }
    uinput_setup setup{};
    setup.id.bustype = BUS_VIRTUAL;
    snprintf(setup.name, sizeof setup.name, "kit buttons");
    char sysname[64] = {};
    if (ioctl(dev.fd.fd, UI_DEV_SETUP, &setup) != 0 || ioctl(dev.fd.fd, UI_DEV_CREATE) != 0 ||
        ioctl(dev.fd.fd, UI_GET_SYSNAME(sizeof sysname), sysname) < 0)
        return false;
    std::string dir = std::string("/sys/devices/virtual/input/") + sysname;
    for (int tries = 0; tries < 500 && dev.path.empty(); ++tries) {
        if (DIR* d = opendir(dir.c_str())) {
            while (dirent* e = readdir(d))
                if (strncmp(e->d_name, "event", 5) == 0) dev.path = std::string("/dev/input/") + e->d_name;
            closedir(d);
        }
        if (dev.path.empty() || access(dev.path.c_str(), R_OK) != 0) {
            dev.path.clear();
            testbed::sleepMs(10);
        }
    }
    return !dev.path.empty();
}

struct Step {
    enum { WaitOpen, Close, Write } kind = Write;
    input_event ev{};
    size_t bytes = sizeof(input_event);
};

bool parseStep(const std::string& text, bool fifo, Step& step) {
    if (text == "waitopen" || text == "close") {
        step.kind = text == "close" ? Step::Close : Step::WaitOpen;
        return true;
    }
    std::string record = text;
    if (text.rfind("part:", 0) == 0 && fifo) {
        size_t colon = text.find(':', 5);
        long n = 0;
        if (colon == std::string::npos || !parseNumber(text.substr(5, colon - 5).c_str(), 1, sizeof step.ev - 1, n))
            return false;
        step.bytes = static_cast<size_t>(n);
        record = text.substr(colon + 1);
    }
    return parseRecord(record, step.ev);
}

// Runs one step; kDone to go on, kClosed when the device was closed.
int runStep(Device& dev, const std::string& text, int& pendingOpens, long limitMs) {
    Step step;
    parseStep(text, dev.fifo, step);  // time-stamps the record now
    if (step.kind == Step::Close) {
        dev.fd.release();
        return kClosed;
    }
    if (step.kind == Step::WaitOpen) return waitOpen(dev, pendingOpens, limitMs) ? kDone : kRanOut;
    // Below PIPE_BUF a FIFO write is whole or fails; uinput takes whole records.
    if (write(dev.fd.fd, &step.ev, step.bytes) != static_cast<ssize_t>(step.bytes)) return kBad;
    if (waitTaken(dev, limitMs)) return kDone;
    fprintf(stderr, "eventfeed: step %s not taken\n", text.c_str());
    return kRanOut;
}

}  // namespace

int main(int argc, char** argv) {
    long limitMs = 60000;
    int first = 1;
    if (argc > 2 && strcmp(argv[1], "-t") == 0) first = parseNumber(argv[2], 0, 3600000, limitMs) ? 3 : argc;
    bool uinput = first < argc && strncmp(argv[first], "uinput:", 7) == 0;
    for (int i = first + 1; i < argc; ++i) {
        Step step;
        if (!parseStep(argv[i], !uinput, step)) first = argc;
    }
    if (first >= argc) {
        fprintf(stderr,
                "usage: eventfeed [-t MS (0: no limit)] FIFO|uinput:CODE[,CODE]... "
                "TYPE:CODE:VALUE|part:N:TYPE:CODE:VALUE|waitopen|close...\n");
        return kBad;
    }
    testbed::catchStopSignals();
    signal(SIGPIPE, SIG_IGN);

    Device dev;
    const char* name = argv[first];
    bool made = uinput ? openUinput(dev, name + 7) : openFifo(dev, name);
    dev.opens.fd = made ? inotify_init1(IN_CLOEXEC) : -1;
    if (dev.opens.fd < 0 || inotify_add_watch(dev.opens.fd, dev.path.c_str(), IN_OPEN) < 0) {
        fprintf(stderr, "eventfeed: %s: %s\n", name, strerror(errno));
        return kBad;
    }
    printf("ready %s\n", dev.path.c_str());
    fflush(stdout);

    int pendingOpens = 0;
    for (int i = first + 1; i < argc && !stopRequested(); ++i) {
        int result = runStep(dev, argv[i], pendingOpens, limitMs);
        if (result == kClosed) return kDone;
        if (result != kDone) return result;
    }
    for (long long end = deadlineAfter(limitMs); !stopRequested() && nowMs() < end;) testbed::sleepMs(100);
    if (!dev.fifo) ioctl(dev.fd.fd, UI_DEV_DESTROY);
    return kDone;
}
