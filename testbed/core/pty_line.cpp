#include "pty_line.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <iterator>

namespace testbed {

bool parseLineMode(const std::string& name, LineMode& mode) {
    static const char* const kNames[] = {"loopback", "bus", "silent", "garbage", "partial"};  // in LineMode's order
    for (size_t i = 0; i < std::size(kNames); ++i) {
        if (name == kNames[i]) {
            mode = static_cast<LineMode>(i);
            return true;
        }
    }
    return false;
}

bool openPtyPair(int& master, int& slave, std::span<char> slavePath) {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    slave = -1;
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 &&
        ptsname_r(master, slavePath.data(), slavePath.size()) == 0)
        slave = open(slavePath.data(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave >= 0) return true;
    int error = errno;
    if (master >= 0) close(master);
    master = -1;
    errno = error;
    return false;
}

namespace {

bool openPort(PtyPort& port) {
    char name[128];
    if (!openPtyPair(port.master, port.slave, name)) return false;
    port.path = name;
    // Raw from the start: a canonical, echoing slave would bounce every byte back to us.
    termios tio{};
    if (tcgetattr(port.slave, &tio) != 0) return false;
    cfmakeraw(&tio);
    return tcsetattr(port.slave, TCSANOW, &tio) == 0;
}

void writeAll(int fd, const char* data, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, data, n);
        if (w <= 0) return;
        data += w;
        n -= static_cast<size_t>(w);
    }
}

}  // namespace

PtyLines::PtyLines(int count, LineMode mode) : ports_(static_cast<size_t>(count)), mode_(mode) {
    ok_ = true;
    for (PtyPort& p : ports_) ok_ = ok_ && openPort(p);
    stopFd_ = eventfd(0, EFD_CLOEXEC);
    if (!ok_ || stopFd_ < 0) {
        ok_ = false;
        return;
    }
    server_ = std::thread([this] { serve(); });
}

PtyLines::~PtyLines() {
    if (server_.joinable()) {
        uint64_t one = 1;
        (void)!write(stopFd_, &one, sizeof one);
        server_.join();
    }
    if (stopFd_ >= 0) close(stopFd_);
    for (PtyPort& p : ports_) {
        if (p.slave >= 0) close(p.slave);
        if (p.master >= 0) close(p.master);
    }
}

void PtyLines::deliver(size_t from, const char* data, size_t n) {
    sent_ += static_cast<long>(n);
    switch (mode_) {
        case LineMode::Silent: return;
        case LineMode::Loopback: writeAll(ports_[from].master, data, n); return;
        case LineMode::Bus:
            for (size_t k = 0; k < ports_.size(); ++k) {
                if (k != from) writeAll(ports_[k].master, data, n);
            }
            return;
        // Both faults act on a line, not on a read: a real UART's far end
        // hears a line in pieces of any size.
        case LineMode::Garbage: {
            std::string copy(data, n);
            for (char& c : copy) {
                bool first = ports_[from].lineOffset == 0;
                ports_[from].advance(c);
                if (first) c = static_cast<char>(c ^ 0x5a);
            }
            writeAll(ports_[from].master, copy.data(), n);
            return;
        }
        case LineMode::Partial: {
            // What was heard goes back in one write up to each line's fifth byte.
            size_t start = 0;
            for (size_t i = 0; i < n; ++i) {
                if (ports_[from].lineOffset == 4) {
                    writeAll(ports_[from].master, data + start, i - start);
                    start = i;
                    std::this_thread::sleep_for(std::chrono::milliseconds(300));
                }
                ports_[from].advance(data[i]);
            }
            writeAll(ports_[from].master, data + start, n - start);
            return;
        }
    }
}

void PtyLines::serve() {
    std::vector<pollfd> fds;
    for (const PtyPort& p : ports_) fds.push_back({p.master, POLLIN, 0});
    fds.push_back({stopFd_, POLLIN, 0});
    char buf[512];
    for (;;) {
        if (poll(fds.data(), fds.size(), -1) < 0) continue;
        if (fds.back().revents != 0) return;
        for (size_t i = 0; i < ports_.size(); ++i) {
            if ((fds[i].revents & POLLIN) == 0) continue;
            ssize_t n = read(ports_[i].master, buf, sizeof buf);
            if (n <= 0) continue;
            // A wire carries what was sent together back to back: whatever
            // follows within a few milliseconds goes on with it, as a real
            // UART would receive it, not in the pieces an emulator hands us.
            size_t have = static_cast<size_t>(n);
            pollfd more{ports_[i].master, POLLIN, 0};
            while (have < sizeof buf && poll(&more, 1, 5) > 0 && (more.revents & POLLIN) != 0) {
                ssize_t m = read(ports_[i].master, buf + have, sizeof buf - have);
                if (m <= 0) break;
                have += static_cast<size_t>(m);
            }
            deliver(i, buf, have);
        }
    }
}

}  // namespace testbed
