#include "launch.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace echofw {
namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Takes in one event line; false when it was not one echofw writes.
bool takeEvent(Process& fw, const std::string& line) {
    int32_t n = 0;
    if (line.rfind("ready ", 0) == 0) {
        fw.slave = line.substr(6);
        return true;
    }
    if (sscanf(line.c_str(), "rx %d", &n) == 1) {
        fw.received = n + 1;
        return true;
    }
    return false;
}

// Reads what is there (waiting up to timeoutMs for something); false on end of file or timeout.
bool pump(Process& fw, int timeoutMs) {
    pollfd p{fw.events, POLLIN, 0};
    int r = poll(&p, 1, timeoutMs);
    if (r <= 0) return r < 0 && errno == EINTR;
    char chunk[512];
    ssize_t n = read(fw.events, chunk, sizeof chunk);
    if (n <= 0) return n < 0 && errno == EINTR;
    fw.partial.append(chunk, static_cast<size_t>(n));
    size_t end;
    while ((end = fw.partial.find('\n')) != std::string::npos) {
        std::string line = fw.partial.substr(0, end);
        fw.partial.erase(0, end + 1);
        if (!takeEvent(fw, line)) fprintf(stderr, "echofw: unexpected event [%s]\n", line.c_str());
    }
    return true;
}

void closeEvents(Process& fw) {
    if (fw.events >= 0) close(fw.events);
    fw.events = -1;
}

}  // namespace

Process::~Process() {
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitExit(pid, 5000);
    }
    closeEvents(*this);
}

bool start(Process& fw, const char* program, const std::vector<std::string>& args, int timeoutMs) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program, argv.data());
        fprintf(stderr, "echofw: cannot run %s: %s\n", program, strerror(errno));
        _exit(127);
    }
    close(pipeFds[1]);
    fw.events = pipeFds[0];
    if (pid < 0) {
        closeEvents(fw);
        return false;
    }
    fw.pid = pid;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (fw.slave.empty()) {
        if (msLeft(deadline) == 0 || !pump(fw, msLeft(deadline))) {
            fprintf(stderr, "echofw: not ready\n");
            return false;
        }
    }
    return true;
}

bool waitReceived(Process& fw, int32_t count, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (fw.received < count) {
        if (msLeft(deadline) == 0 || !pump(fw, msLeft(deadline))) return false;
    }
    return true;
}

int stop(Process& fw, int timeoutMs) {
    if (fw.pid <= 0) return -1;
    kill(fw.pid, SIGTERM);
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (msLeft(deadline) > 0 && pump(fw, msLeft(deadline))) {
    }
    int status = waitExit(fw.pid, msLeft(deadline));
    if (status == -1) {
        kill(fw.pid, SIGKILL);
        waitExit(fw.pid, timeoutMs);
    }
    fw.pid = -1;
    closeEvents(fw);
    return status;
}

pid_t spawn(const char* path, const std::function<void()>& beforeExec) {
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid != 0) return pid;
    int null = open("/dev/null", O_RDONLY);
    if (null >= 0 && null != STDIN_FILENO) {
        dup2(null, STDIN_FILENO);
        close(null);
    }
    // The program's first descriptor must be the lowest free one, as on the board.
    close_range(3, ~0U, 0);
    if (beforeExec) beforeExec();
    execl(path, path, static_cast<char*>(nullptr));
    fprintf(stderr, "echofw: cannot run %s: %s\n", path, strerror(errno));
    _exit(127);
}

int waitExit(pid_t pid, int timeoutMs) {
    int status = 0;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (r < 0 && errno != EINTR) {
            status = -1;
            break;
        }
        int left = msLeft(deadline);
        if (left == 0) {
            status = -1;
            break;
        }
        if (pidFd >= 0) {
            pollfd p{pidFd, POLLIN, 0};
            poll(&p, 1, left);
        } else {
            const timespec tick{0, 2000000};
            nanosleep(&tick, nullptr);
        }
    }
    if (pidFd >= 0) close(pidFd);
    return status;
}

}  // namespace echofw
