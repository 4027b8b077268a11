#include "echofw.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "core/fd.h"
#include "core/pty_line.h"
#include "core/standin.h"

namespace echofw {
namespace {

bool fail(std::span<char> error, const char* text, const char* arg) {
    snprintf(error.data(), error.size(), "%s: %s", text, arg);
    return false;
}

// "N" or "N:A"; arg keeps its default when there is no ":A".
bool parseMessageAndArg(const char* text, int32_t argLow, int32_t argHigh, int32_t& message, int32_t& arg) {
    const char* colon = strchr(text, ':');
    std::string head = colon != nullptr ? std::string(text, colon) : text;
    return testbed::parseNumber(head.c_str(), 0, INT32_MAX, message) &&
           (colon == nullptr || testbed::parseNumber(colon + 1, argLow, argHigh, arg));
}

bool addFault(Config& config, FaultKind kind, const char* text, std::span<char> error) {
    if (config.faultCount >= kMaxFaults) return fail(error, "too many faults at", text);
    Fault f{kind, 0, kind == FaultKind::Split ? 20 : 0};
    int32_t argLow = kind == FaultKind::Split ? 1 : 0;
    if (!parseMessageAndArg(text, argLow, kMessageBytes - 1, f.message, f.arg))
        return fail(error, "bad message number or byte", text);
    config.faults[static_cast<size_t>(config.faultCount++)] = f;
    return true;
}

using testbed::Fd;

bool writeAll(int fd, const unsigned char* data, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, data, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        data += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Polling a tty runs its pending receive work first, so "nothing readable"
// means everything written so far has reached the reader.
bool slaveHasUnread(int slave) {
    pollfd p{slave, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

// The far end of a real serial channel (--device), rather than a pseudo-terminal of our own.
bool onRealChannel(const Config& config) { return config.device[0] != '\0'; }

// Waits (bounded) until the program has read everything sent so far. On a
// real channel the bytes are still travelling when the write returns: first
// they leave our end, then they reach the program's tty, and only then can
// their being read be seen. A piece the program took at once is never seen
// waiting, so that wait ends after a second.
void waitUntilRead(int device, int slave, bool realChannel) {
    const timespec tick{0, 1000000};
    if (realChannel) {
        int queued = 0;
        for (int i = 0; i < 2000 && ioctl(device, TIOCOUTQ, &queued) == 0 && queued > 0; ++i) nanosleep(&tick, nullptr);
        for (int i = 0; i < 1000 && !slaveHasUnread(slave) && !testbed::stopRequested(); ++i) nanosleep(&tick, nullptr);
    }
    for (int i = 0; i < 10000 && !testbed::stopRequested(); ++i) {
        if (!slaveHasUnread(slave)) return;
        nanosleep(&tick, nullptr);
    }
    fprintf(stderr, "echofw: first piece not read within 10 s, sending the rest anyway\n");
}

// Starts like a fresh terminal but without echo, so bytes written before the
// program opens the port stay there instead of coming back to us.
bool initSlave(int slave) {
    termios t;
    if (tcgetattr(slave, &t) != 0) return false;
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
    return tcsetattr(slave, TCSANOW, &t) == 0;
}

// Removes the published link when it still points at our port.
void unpublish(const char* link, const char* slavePath) {
    char now[256];
    ssize_t n = readlink(link, now, sizeof now - 1);
    if (n < 0) return;
    now[n] = '\0';
    if (strcmp(now, slavePath) == 0) unlink(link);
}

bool publish(const char* link, const char* slavePath) {
    struct stat st;
    // A link left behind by an earlier run is ours to replace; anything else is not.
    if (lstat(link, &st) == 0 && S_ISLNK(st.st_mode)) unlink(link);
    if (symlink(slavePath, link) != 0) {
        fprintf(stderr, "echofw: cannot link %s: %s\n", link, strerror(errno));
        return false;
    }
    return true;
}

void echoMessage(const Config& config, int master, int slave, int32_t number, unsigned char* message) {
    std::span<unsigned char> data(message, static_cast<size_t>(kMessageBytes));
    EchoShape shape = shapeEcho(config, number, data);
    if (!shape.send) return;
    size_t first = static_cast<size_t>(shape.firstPiece);
    if (!writeAll(master, data.data(), first)) return;
    if (first == data.size()) return;
    waitUntilRead(master, slave, onRealChannel(config));
    writeAll(master, data.data() + first, data.size() - first);
}

int serve(const Config& config, int master, int slave, const sigset_t& waitMask) {
    unsigned char message[kMessageBytes];
    int32_t filled = 0;
    int32_t number = 0;
    bool complained = false;
    while (!testbed::stopRequested()) {
        pollfd p{master, POLLIN, 0};
        int r = ppoll(&p, 1, nullptr, &waitMask);
        if (r < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        ssize_t n = read(master, message + filled, static_cast<size_t>(kMessageBytes - filled));
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return 1;
        filled += static_cast<int32_t>(n);
        if (filled < kMessageBytes) continue;
        filled = 0;
        printf("rx %d\n", number);
        termios t;
        // A real channel's tty (the gadget serial, like the RPMsg tty) keeps
        // no line speed: the program's 115200 is dropped there, so only raw
        // mode is checked.
        bool speedHeld = !onRealChannel(config);
        bool configured = tcgetattr(slave, &t) == 0 && isRawAt115200(t, speedHeld);
        if (!configured && !complained) {
            fprintf(stderr, speedHeld ? "echofw: port is not raw at 115200 baud; not answering\n"
                                      : "echofw: port is not raw; not answering\n");
            complained = true;
        }
        if (configured && !config.silent) echoMessage(config, master, slave, number, message);
        ++number;
    }
    return 0;
}

// The firmware's end of a real channel: raw, so every byte goes through as sent.
int runOnDevice(const Config& config, const sigset_t& waitMask) {
    Fd device(open(config.device, O_RDWR | O_NOCTTY | O_CLOEXEC));
    Fd watch(open(config.watch, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (device.fd < 0 || watch.fd < 0) {
        fprintf(stderr, "echofw: cannot open %s: %s\n", device.fd < 0 ? config.device : config.watch, strerror(errno));
        return 1;
    }
    termios t;
    if (tcgetattr(device.fd, &t) != 0) {
        fprintf(stderr, "echofw: %s is no terminal: %s\n", config.device, strerror(errno));
        return 1;
    }
    cfmakeraw(&t);
    // The firmware's end ignores the carrier: a program closing its end must
    // not hang this one up.
    t.c_cflag |= CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(device.fd, TCSANOW, &t) != 0 || tcflush(device.fd, TCIOFLUSH) != 0) {
        fprintf(stderr, "echofw: cannot set up %s: %s\n", config.device, strerror(errno));
        return 1;
    }
    printf("ready %s\n", config.watch);
    return serve(config, device.fd, watch.fd, waitMask);
}

}  // namespace

const char* usage() {
    return "usage: echofw [--link PATH | --device PATH --watch PATH] [--stale N]\n"
           "              [--silent] [--corrupt N[:BYTE]]... [--drop N]... [--split N[:FIRST]]...\n"
           "Plays the echo firmware on a pseudo-terminal, or on the far end (--device) of a\n"
           "real serial channel whose program end is --watch. Prints \"ready <port>\" once\n"
           "the port (and its link) exist, then \"rx <n>\" per whole message received.\n"
           "Messages are numbered from 0 in the order received. --corrupt inverts one\n"
           "byte (default 0) of message N, --drop never returns it, --split returns its\n"
           "first FIRST (default 20) bytes and the rest once those were read, --silent\n"
           "returns nothing, --stale leaves N bytes of 0xA5 waiting in the port.\n"
           "Ends on SIGTERM, SIGINT or SIGHUP and removes the link.\n";
}

bool parseArgs(std::span<const char* const> args, Config& config, std::span<char> error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const char* opt = args[i];
        bool flag = strcmp(opt, "--silent") == 0;
        if (flag) {
            config.silent = true;
            continue;
        }
        if (i + 1 >= args.size()) return fail(error, "unknown option or missing value", opt);
        const char* value = args[++i];
        if (strcmp(opt, "--link") == 0) {
            if (strlen(value) >= sizeof config.link || value[0] == '\0') return fail(error, "bad link path", value);
            snprintf(config.link, sizeof config.link, "%s", value);
        } else if (strcmp(opt, "--device") == 0 || strcmp(opt, "--watch") == 0) {
            char* dst = opt[2] == 'd' ? config.device : config.watch;
            if (strlen(value) >= sizeof config.device || value[0] == '\0') return fail(error, "bad device path", value);
            snprintf(dst, sizeof config.device, "%s", value);
        } else if (strcmp(opt, "--stale") == 0) {
            if (!testbed::parseNumber(value, 0, kMaxStaleBytes, config.staleBytes))
                return fail(error, "bad stale count", value);
        } else if (strcmp(opt, "--corrupt") == 0) {
            if (!addFault(config, FaultKind::Corrupt, value, error)) return false;
        } else if (strcmp(opt, "--drop") == 0) {
            if (!addFault(config, FaultKind::Drop, value, error)) return false;
        } else if (strcmp(opt, "--split") == 0) {
            if (!addFault(config, FaultKind::Split, value, error)) return false;
        } else {
            return fail(error, "unknown option", opt);
        }
    }
    if ((config.device[0] == '\0') != (config.watch[0] == '\0'))
        return fail(error, "--device and --watch go together", config.device[0] ? config.device : config.watch);
    if (onRealChannel(config) && (config.link[0] != '\0' || config.staleBytes > 0))
        return fail(error, "a real channel takes no --link or --stale", config.device);
    return true;
}

EchoShape shapeEcho(const Config& config, int32_t message, std::span<unsigned char> data) {
    EchoShape shape{true, static_cast<int32_t>(data.size())};
    for (int32_t i = 0; i < config.faultCount; ++i) {
        const Fault& f = config.faults[static_cast<size_t>(i)];
        if (f.message != message) continue;
        if (f.kind == FaultKind::Drop) shape.send = false;
        if (f.kind == FaultKind::Corrupt && static_cast<size_t>(f.arg) < data.size())
            data[static_cast<size_t>(f.arg)] ^= 0xFF;
        if (f.kind == FaultKind::Split && static_cast<size_t>(f.arg) < data.size()) shape.firstPiece = f.arg;
    }
    return shape;
}

bool isRawAt115200(const termios& settings, bool speedHeld) {
    termios raw = settings;
    cfmakeraw(&raw);
    const tcflag_t lflags = ECHO | ECHONL | ICANON | ISIG | IEXTEN;
    const tcflag_t iflags = IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON;
    return (settings.c_lflag & lflags) == 0 && (settings.c_iflag & iflags) == 0 && (settings.c_oflag & OPOST) == 0 &&
           (settings.c_cflag & (CSIZE | PARENB)) == (raw.c_cflag & (CSIZE | PARENB)) && settings.c_cc[VMIN] == 1 &&
           settings.c_cc[VTIME] == 0 &&
           (!speedHeld || (cfgetospeed(&settings) == B115200 && cfgetispeed(&settings) == B115200));
}

int run(const Config& config) {
    sigset_t stopSignals;
    sigset_t waitMask;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    // Held back except inside ppoll, so a stop request cannot slip in between the check and the wait.
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    testbed::catchStopSignals();
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);

    if (onRealChannel(config)) return runOnDevice(config, waitMask);

    char slavePath[128];
    int masterFd = -1;
    int slaveFd = -1;
    if (!testbed::openPtyPair(masterFd, slaveFd, slavePath)) {
        fprintf(stderr, "echofw: no pseudo-terminal: %s\n", strerror(errno));
        return 1;
    }
    Fd master(masterFd);
    Fd slave(slaveFd);
    if (!initSlave(slave.fd)) {
        fprintf(stderr, "echofw: cannot set up %s: %s\n", slavePath, strerror(errno));
        return 1;
    }
    if (config.staleBytes > 0) {
        unsigned char stale[kMaxStaleBytes];
        memset(stale, kStaleByte, sizeof stale);
        if (!writeAll(master.fd, stale, static_cast<size_t>(config.staleBytes))) return 1;
        slaveHasUnread(slave.fd);  // lands them in the port now, before anyone can open it
    }
    bool linked = config.link[0] != '\0';
    if (linked && !publish(config.link, slavePath)) return 1;
    printf("ready %s\n", slavePath);
    int status = serve(config, master.fd, slave.fd, waitMask);
    if (linked) unpublish(config.link, slavePath);
    return status;
}

}  // namespace echofw
