// uinputfeed: a key device made by the kernel's uinput driver, for boards
// with a real input layer (the kernel board).
//
//   uinputfeed [-t MS] CODE[,CODE]... [-- STEP...]
//
// Creates an input device that can report the given key codes, prints
// "ready /dev/input/eventN" and runs the steps in order:
//   key:CODE:VALUE   reports the key (1 press, 0 release, 2 repeat) and a sync
//   waitopen         waits for the device's next opening (each opening is
//                    counted once, even one before the step)
//   sleep:MS         pauses
// then keeps the device until SIGTERM or SIGINT (or the time limit) and
// removes it. -t MS bounds each wait and the final hold (default 60000).
// Exit status: 0 done; 1 a wait ran out; 2 bad arguments or an I/O error.

#include <dirent.h>
#include <fcntl.h>
#include <linux/uinput.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/fd.h"
#include "core/standin.h"

namespace {

bool toLong(const char* text, long& value) {
    char* end = nullptr;
    value = strtol(text, &end, 10);
    return end != text && *end == '\0';
}

bool emit(int fd, int type, int code, int value) {
    input_event ev{};
    ev.type = static_cast<__u16>(type);
    ev.code = static_cast<__u16>(code);
    ev.value = value;
    return write(fd, &ev, sizeof ev) == static_cast<ssize_t>(sizeof ev);
}

}  // namespace

int main(int argc, char** argv) {
    long limitMs = 60000;
    int i = 1;
    if (i + 1 < argc && strcmp(argv[i], "-t") == 0) {
        if (!toLong(argv[i + 1], limitMs) || limitMs <= 0) return 2;
        i += 2;
    }
    if (i >= argc || (i + 1 < argc && strcmp(argv[i + 1], "--") != 0)) {
        fprintf(stderr, "usage: uinputfeed [-t MS] CODE[,CODE]... -- STEP...\n");
        return 2;
    }
    testbed::catchStopSignals();
    testbed::Fd dev(open("/dev/uinput", O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    if (dev.fd < 0 || ioctl(dev.fd, UI_SET_EVBIT, EV_KEY) != 0 || ioctl(dev.fd, UI_SET_EVBIT, EV_SYN) != 0) {
        perror("uinputfeed: /dev/uinput");
        return 2;
    }
    char codes[256];
    snprintf(codes, sizeof codes, "%s", argv[i]);
    for (char* c = strtok(codes, ","); c != nullptr; c = strtok(nullptr, ",")) {
        long code = 0;
        if (!toLong(c, code) || code < 0 || code > KEY_MAX || ioctl(dev.fd, UI_SET_KEYBIT, code) != 0) return 2;
    }
    uinput_setup setup{};
    setup.id.bustype = BUS_VIRTUAL;
    snprintf(setup.name, sizeof setup.name, "kit buttons");
    char sysname[64] = {};
    if (ioctl(dev.fd, UI_DEV_SETUP, &setup) != 0 || ioctl(dev.fd, UI_DEV_CREATE) != 0 ||
        ioctl(dev.fd, UI_GET_SYSNAME(sizeof sysname), sysname) < 0) {
        perror("uinputfeed: creating the device");
        return 2;
    }
    // The event node is the one entry named event* below the device.
    char node[280] = {};
    char dir[128];
    snprintf(dir, sizeof dir, "/sys/devices/virtual/input/%s", sysname);
    for (int tries = 0; tries < 500 && node[0] == '\0'; ++tries) {
        if (DIR* d = opendir(dir)) {
            while (dirent* e = readdir(d)) {
                if (strncmp(e->d_name, "event", 5) == 0) snprintf(node, sizeof node, "/dev/input/%s", e->d_name);
            }
            closedir(d);
        }
        if (node[0] == '\0' || access(node, R_OK) != 0) {
            node[0] = '\0';
            testbed::sleepMs(10);
        }
    }
    if (node[0] == '\0') return 2;
    // Every opening of the node, queued by the kernel until a step takes it.
    testbed::Fd opens(inotify_init1(IN_CLOEXEC));
    if (opens.fd < 0 || inotify_add_watch(opens.fd, node, IN_OPEN) < 0) {
        perror("uinputfeed: watching the device");
        return 2;
    }
    int pendingOpens = 0;
    printf("ready %s\n", node);
    fflush(stdout);

    for (i += 2; i < argc && !testbed::stopRequested(); ++i) {
        const char* step = argv[i];
        long a = 0;
        long b = 0;
        if (strncmp(step, "key:", 4) == 0) {
            const char* second = strchr(step + 4, ':');
            char first[16] = {};
            if (second == nullptr || second - (step + 4) >= static_cast<long>(sizeof first)) return 2;
            memcpy(first, step + 4, static_cast<size_t>(second - (step + 4)));
            if (!toLong(first, a) || !toLong(second + 1, b)) return 2;
            if (!emit(dev.fd, EV_KEY, static_cast<int>(a), static_cast<int>(b)) || !emit(dev.fd, EV_SYN, SYN_REPORT, 0))
                return 2;
        } else if (strcmp(step, "waitopen") == 0) {
            long long end = testbed::nowMs() + limitMs;
            while (pendingOpens == 0) {
                if (testbed::stopRequested()) return 0;
                long long left = end - testbed::nowMs();
                if (left <= 0) return 1;
                pollfd p{opens.fd, POLLIN, 0};
                if (poll(&p, 1, static_cast<int>(left < 100 ? left : 100)) <= 0) continue;
                alignas(inotify_event) char buf[4096];
                ssize_t n = read(opens.fd, buf, sizeof buf);
                for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
                    const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
                    if ((ev->mask & IN_OPEN) != 0) ++pendingOpens;
                    at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
                }
            }
            --pendingOpens;
        } else if (strncmp(step, "sleep:", 6) == 0 && toLong(step + 6, a) && a >= 0) {
            testbed::sleepMs(a);
        } else {
            fprintf(stderr, "uinputfeed: bad step %s\n", step);
            return 2;
        }
    }
    for (long long end = testbed::nowMs() + limitMs; !testbed::stopRequested() && testbed::nowMs() < end;)
        testbed::sleepMs(10);
    ioctl(dev.fd, UI_DEV_DESTROY);
    return 0;
}
