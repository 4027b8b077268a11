#include "sim_spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace {

long long nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool startsWith(const char* text, const char* prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

// Reads what is there now; closes the descriptor at end of file.
void drain(int& fd, std::string& into) {
    char buf[4096];
    while (fd >= 0) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            into.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return;
        close(fd);
        fd = -1;
    }
}

void pollOutput(SimChild& child, int waitMs) {
    pollfd fds[2] = {{child.outFd, POLLIN, 0}, {child.errFd, POLLIN, 0}};
    if (child.outFd < 0 && child.errFd < 0) {
        usleep(static_cast<useconds_t>(waitMs) * 1000);
        return;
    }
    poll(fds, 2, waitMs);
    drain(child.outFd, child.out);
    drain(child.errFd, child.err);
}

}  // namespace

std::vector<std::string> simEnvironment(const char* preload, const char* statePath) {
    std::vector<std::string> env;
    std::string preloads = preload;
    std::string asan = "verify_asan_link_order=0";
    for (char** e = environ; *e != nullptr; ++e) {
        if (startsWith(*e, "LD_PRELOAD=")) {
            if ((*e)[11] != '\0') preloads += std::string(":") + (*e + 11);
        } else if (startsWith(*e, "ASAN_OPTIONS=")) {
            asan = std::string(*e + 13) + ":" + asan;
        } else if (!startsWith(*e, "GPIOSIM_STATE=")) {
            env.emplace_back(*e);
        }
    }
    env.push_back("LD_PRELOAD=" + preloads);
    env.push_back("ASAN_OPTIONS=" + asan);
    env.push_back(std::string("GPIOSIM_STATE=") + statePath);
    return env;
}

bool simSpawn(SimChild& child, const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return false;
    }
    std::vector<char*> args, vars;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    for (const std::string& v : env) vars.push_back(const_cast<char*>(v.c_str()));
    args.push_back(nullptr);
    vars.push_back(nullptr);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        execve(args[0], args.data(), vars.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        close(out[0]);
        close(err[0]);
        return false;
    }
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    fcntl(err[0], F_SETFL, O_NONBLOCK);
    child.pid = pid;
    child.outFd = out[0];
    child.errFd = err[0];
    return true;
}

bool simWait(SimChild& child, int timeoutMs) {
    long long end = nowMs() + timeoutMs;
    while (child.pid > 0) {
        int status = 0;
        pid_t done = waitpid(child.pid, &status, WNOHANG);
        if (done == child.pid) {
            child.status = status;
            child.pid = -1;
            break;
        }
        if (nowMs() >= end) return false;
        pollOutput(child, 10);
    }
    // Whatever the child wrote before it ended is in the pipes now.
    drain(child.outFd, child.out);
    drain(child.errFd, child.err);
    return true;
}

bool simStop(SimChild& child, int sig, int timeoutMs) {
    if (child.pid > 0) kill(child.pid, sig);
    return simWait(child, timeoutMs);
}

void simRelease(SimChild& child) {
    if (child.pid > 0) {
        kill(child.pid, SIGKILL);
        waitpid(child.pid, &child.status, 0);
        child.pid = -1;
    }
    if (child.outFd >= 0) close(child.outFd);
    if (child.errFd >= 0) close(child.errFd);
    child.outFd = child.errFd = -1;
}
