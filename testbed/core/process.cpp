#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "standin.h"

extern char** environ;

namespace testbed {
namespace {

bool makePipe(Fd& readEnd, int& writeEnd) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    readEnd.fd = fds[0];
    writeEnd = fds[1];
    return true;
}

// Takes in what a pipe holds now; closes it at end of file.
void drain(Fd& pipe, std::string& into) {
    char chunk[4096];
    while (pipe.fd >= 0) {
        ssize_t n = read(pipe.fd, chunk, sizeof chunk);
        if (n > 0) {
            into.append(chunk, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            if (n == 0 || errno != EAGAIN) pipe.release();
            return;
        }
    }
}

// Reaps the process when it has ended.
bool reaped(Process& p) {
    if (p.pid <= 0) return true;
    int status = 0;
    pid_t r = waitpid(p.pid, &status, WNOHANG);
    if (r == 0 || (r < 0 && errno == EINTR)) return false;
    p.status = r == p.pid ? status : -1;
    p.pid = -1;
    return true;
}

// Waits up to ms for output on a captured stream or for the end.
void await(Process& p, int ms) {
    pollfd fds[3];
    nfds_t n = 0;
    for (Fd* pipe : {&p.outPipe, &p.errPipe})
        if (pipe->fd >= 0) fds[n++] = {pipe->fd, POLLIN, 0};
    Fd pidFd(p.pid > 0 ? static_cast<int>(syscall(SYS_pidfd_open, p.pid, 0)) : -1);
    if (pidFd.fd >= 0) {
        fds[n++] = {pidFd.fd, POLLIN, 0};
    } else if (p.pid > 0 && ms > 5) {
        ms = 5;  // without a pidfd the end shows only by looking again
    }
    if (n == 0) {
        sleepMs(ms);
    } else {
        poll(fds, n, ms);
    }
    drain(p.outPipe, p.out);
    drain(p.errPipe, p.err);
}

int msLeft(long long deadline) {
    long long left = deadline - nowMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

// The child's side of a start: streams, descriptors, then run().
[[noreturn]] void inChild(int outEnd, int errEnd, const StartOptions& options, const std::function<void()>& run) {
    if (outEnd >= 0) dup2(outEnd, STDOUT_FILENO);
    if (errEnd >= 0) dup2(errEnd, STDERR_FILENO);
    if (options.nullStdin) {
        int null = open("/dev/null", O_RDONLY);
        if (null >= 0 && null != STDIN_FILENO) {
            dup2(null, STDIN_FILENO);
            close(null);
        }
    }
    if (options.closeAbove2) close_range(3, ~0U, 0);
    for (const std::string& kv : options.addEnv) putenv(const_cast<char*>(kv.c_str()));
    if (options.beforeExec) options.beforeExec();
    run();
    _exit(127);
}

bool launch(Process& p, const StartOptions& options, const std::function<void()>& run) {
    if (p.pid > 0) return false;
    p.status = -1;
    p.outPipe.release();
    p.errPipe.release();
    p.out.clear();
    p.err.clear();
    p.seen = 0;
    int outEnd = -1, errEnd = -1;
    if ((options.captureOut && !makePipe(p.outPipe, outEnd)) || (options.captureErr && !makePipe(p.errPipe, errEnd))) {
        if (outEnd >= 0) close(outEnd);
        return false;
    }
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) inChild(outEnd, errEnd, options, run);
    if (outEnd >= 0) close(outEnd);
    if (errEnd >= 0) close(errEnd);
    if (pid < 0) return false;
    p.pid = pid;
    return true;
}

}  // namespace

Process::~Process() {
    if (pid > 0) {
        kill(pid, SIGKILL);
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

bool start(Process& p, const std::vector<std::string>& argv, const StartOptions& options) {
    if (argv.empty()) return false;
    // Built before the fork: the child only calls exec.
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> vars;
    if (options.env) {
        for (const std::string& v : *options.env) vars.push_back(const_cast<char*>(v.c_str()));
        vars.push_back(nullptr);
    }
    return launch(p, options, [&] {
        if (options.env) environ = vars.data();
        execvp(args[0], args.data());
        fprintf(stderr, "testbed: cannot run %s: %s\n", args[0], strerror(errno));
    });
}

bool startBody(Process& p, const std::function<int()>& body, const StartOptions& options) {
    return launch(p, options, [&] {
        int rc = body();
        fflush(nullptr);
        _exit(rc);
    });
}

bool pump(Process& p, int timeoutMs) {
    size_t before = p.out.size() + p.err.size();
    if (!reaped(p)) await(p, timeoutMs);
    reaped(p);
    drain(p.outPipe, p.out);
    drain(p.errPipe, p.err);
    return p.out.size() + p.err.size() != before || p.pid <= 0;
}

bool waitLine(Process& p, const std::string& prefix, std::string& line, int timeoutMs) {
    long long deadline = nowMs() + timeoutMs;
    for (;;) {
        size_t end;
        while ((end = p.out.find('\n', p.seen)) != std::string::npos) {
            std::string candidate = p.out.substr(p.seen, end - p.seen);
            p.seen = end + 1;
            if (candidate.rfind(prefix, 0) == 0) {
                line = candidate;
                return true;
            }
        }
        if (p.pid <= 0 && p.outPipe.fd < 0) return false;
        if (msLeft(deadline) == 0) return false;
        pump(p, msLeft(deadline));
    }
}

bool waitEnd(Process& p, int timeoutMs) {
    long long deadline = nowMs() + timeoutMs;
    while (!reaped(p)) {
        if (msLeft(deadline) == 0) return false;
        await(p, msLeft(deadline));
    }
    // What it wrote before it ended is in the pipes now; a background child
    // of its own may hold them open, so take only what is there.
    drain(p.outPipe, p.out);
    drain(p.errPipe, p.err);
    return true;
}

bool stop(Process& p, int sig, int timeoutMs) {
    if (p.pid <= 0) return true;
    kill(p.pid, sig);
    if (waitEnd(p, timeoutMs)) return true;
    kill(p.pid, SIGKILL);
    waitEnd(p, timeoutMs);
    return false;
}

int runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& addEnv, int timeoutMs) {
    Process p;
    StartOptions options;
    options.addEnv = addEnv;
    if (!start(p, argv, options)) return -1;
    if (waitEnd(p, timeoutMs)) return p.status;
    fprintf(stderr, "testbed: %s still running after %d ms, killed\n", argv[0].c_str(), timeoutMs);
    stop(p, SIGKILL, 5000);
    return -1;
}

}  // namespace testbed
