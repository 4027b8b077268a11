#pragma once
// Runs a piece of a test in a forked child inside namespaces of its own, with
// everything the child (and its children) write to fd 1 captured byte for
// byte; and a scratch directory for a test.

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "core/isolate.h"
#include "core/process.h"

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

// The child's side: the namespaces (a user namespace too when not root),
// every mount private, then the body; exits with its result.
[[noreturn]] inline void isolatedChild(unsigned flags, const std::function<int()>& body) {
    if (flags != 0) {
        std::string why;
        if (geteuid() != 0 && !testbed::enterUserNamespace(why)) {
            printf("%s\n", why.c_str());
            fflush(stdout);
            _exit(kSkipExit);
        }
        if (unshare(CLONE_NEWNS | ((flags & kNetNs) ? CLONE_NEWNET : 0)) != 0) {
            printf("no namespaces here: %s\n", strerror(errno));
            fflush(stdout);
            _exit(kSkipExit);
        }
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            fprintf(stderr, "private mounts: %s\n", strerror(errno));
            _exit(99);
        }
        if (flags & kNetNs) testbed::freshNetwork();
    }
    int rc = body();
    fflush(stdout);
    _exit(rc);
}

// Forks; the child runs body as above with fd 1 on a pipe. The parent
// collects fd 1 until the child ends or timeoutMs passes (then the child's
// process group is killed).
inline ChildResult runIsolated(unsigned flags, const std::function<int()>& body, int timeoutMs = 30000) {
    ChildResult result;
    testbed::Process child;
    testbed::StartOptions options;
    options.captureOut = true;
    // A process group of its own, so what it leaves behind can be killed with it.
    options.beforeExec = [] { setpgid(0, 0); };
    if (!testbed::startBody(
            child, [&]() -> int { isolatedChild(flags, body); }, options)) {
        result.out = "cannot start the child";
        return result;
    }
    setpgid(child.pid, child.pid);
    pid_t group = child.pid;
    result.timedOut = !testbed::waitEnd(child, timeoutMs);
    if (result.timedOut) testbed::stop(child, SIGKILL);
    // Background jobs a child left behind may hold the pipe; the child itself is what we wait for.
    kill(-group, SIGKILL);
    result.out = child.out;
    if (WIFEXITED(child.status)) {
        result.exitCode = WEXITSTATUS(child.status);
        result.skipped = result.exitCode == kSkipExit;
    } else if (WIFSIGNALED(child.status)) {
        result.signal = WTERMSIG(child.status);
    }
    return result;
}

// A scratch directory removed with everything in it when the object goes away.
struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/kit-test-XXXXXX";
        if (mkdtemp(name) != nullptr) path = name;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
};
