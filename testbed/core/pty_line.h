#pragma once
// Simulated serial lines on pseudo-terminals. The slave is the "port" a program
// opens; a thread on the master side decides what the port hears back.

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <span>

namespace testbed {

// Opens a new pseudo-terminal and its slave (both close-on-exec, neither
// becoming a controlling terminal) and names the slave in slavePath. The
// stand-in keeps the slave open itself, so settings survive between the
// program's opens and the master never reads EIO. False with errno set;
// nothing stays open then.
bool openPtyPair(int& master, int& slave, std::span<char> slavePath);

// The names parseLineMode takes are these, lower-cased, in this order.
enum class LineMode {
    Loopback,  // each port hears what it sends (an RS485 port with its echo)
    Bus,       // each port hears what the others send (ports wired together)
    Silent,    // nothing comes back
    Garbage,   // a corrupted copy comes back (each line's first byte changed)
    Partial,   // each line's first 4 bytes come back, the rest 300 ms later
};

// Parses "loopback", "bus", "silent", "garbage", "partial"; false if unknown.
bool parseLineMode(const std::string& name, LineMode& mode);

struct PtyPort {
    int master = -1;
    int slave = -1;  // kept open so settings survive between opens
    std::string path;
    size_t lineOffset = 0;  // bytes of the current line heard so far (garbage, partial)
    void advance(char heard) { lineOffset = heard == '\n' ? 0 : lineOffset + 1; }
};

class PtyLines {
public:
    PtyLines(int count, LineMode mode);
    ~PtyLines();
    PtyLines(const PtyLines&) = delete;
    PtyLines& operator=(const PtyLines&) = delete;

    bool ok() const { return ok_; }
    const std::string& path(int i) const { return ports_[static_cast<size_t>(i)].path; }
    // Total bytes the ports have sent so far.
    long bytesSent() const { return sent_.load(); }

private:
    void serve();
    void deliver(size_t from, const char* data, size_t n);

    std::vector<PtyPort> ports_;
    LineMode mode_;
    bool ok_ = false;
    int stopFd_ = -1;
    std::atomic<long> sent_{0};
    std::thread server_;
};

}  // namespace testbed
