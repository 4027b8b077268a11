#pragma once
// Runs a piece of a test in a forked child inside namespaces of its own, with
// everything the child (and its children) write to fd 1 captured byte for byte.

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace testbed {

enum NsFlags : unsigned {
    kMountNs = 1u << 0,  // private mount namespace: fixtures may be mounted anywhere
    kNetNs = 1u << 1,    // empty network namespace: lo up, DAD off, fresh sysfs on /sys
};

struct ChildResult {
    bool skipped = false;   // namespaces are not available here (reason in out)
    bool timedOut = false;  // killed after the time limit
    int exitCode = -1;      // exit status, or -1 when ended by a signal
    int signal = 0;         // the signal that ended it
    std::string out;        // all bytes written to fd 1
};

// Exit code a child uses to say "cannot run here"; runIsolated reports skipped.
constexpr int kSkipExit = 77;

// Forks; the child enters the namespaces (a user namespace too when not root),
// makes every mount private, sets fd 1 to a pipe and stdout to line-less full
// buffering, runs body and exits with its result after flushing stdout.
// The parent collects fd 1 until the child ends or timeoutMs passes (then
// the child's process group is killed).
ChildResult runIsolated(unsigned flags, const std::function<int()>& body, int timeoutMs = 30000);

// Makes this process root of a new user namespace (mapped to its own user),
// so that it may make the other namespaces; false with the reason in why.
bool enterUserNamespace(std::string& why);

// In a fresh network namespace: duplicate address detection off, a sysfs of
// this namespace on /sys, lo up.
void freshNetwork();

// The cable between the two Ethernet ports: a veth pair eth0 (02:...:01) and
// eth1 (02:...:02), eth0 up; eth1 up and with IPv6 unless a fault says not.
void ethernetCable(bool eth1Up = true, bool eth1Ipv6 = true);

// The set-up helpers below end the process with code (default 99) when a
// step fails, the reason on stderr.
void exitOnSetupFailureWith(int code);

// Inside a child: runs a shell command (stdout and stderr to stderr); on failure
// writes the command to stderr and exits the child with code 99.
void must(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A layer of fixtures: entries written into upper before the layer is
// mounted show over the target's own. The layer sits on a tmpfs of its own
// in a scratch directory under under. A user namespace may not add entries
// to a sysfs directory even through an overlay, so sysfs fixtures are
// written into upper first.
struct FixtureLayer {
    std::string upper;
    std::string work;
};
FixtureLayer newFixtureLayer(const std::string& under = "/tmp");
void mountFixtureLayer(const FixtureLayer& layer, const std::string& target);

// Inside a child: makes dir writable for fixtures. Its deepest existing
// ancestor gets an overlay (tmpfs upper, the real directory below), so live
// entries stay visible; then dir is created with its parents.
void makeFixtureDir(const char* dir);
// Writes text to path (creating or truncating it); exits the child with 99 on error.
void writeFixture(const std::string& path, const std::string& text);

// Inside a child in a mount namespace: a tmpfs /dev holding null, zero, full,
// random, urandom, tty, a fresh devpts (ptmx) and shm, nothing else.
void privateDev();

// A scratch directory removed with everything in it when the object goes away.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
};

// Prepends dir to PATH in this process.
void prependPath(const std::string& dir);

// Reads a whole file; empty when missing.
std::string readFile(const std::string& path);

}  // namespace testbed
