#include "isolate.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace testbed {
namespace {

constexpr int kSetupFailed = 99;

[[noreturn]] void childFail(const char* what) {
    fprintf(stderr, "testbed: %s: %s\n", what, strerror(errno));
    _exit(kSetupFailed);
}

bool writeText(const char* path, const char* text) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t n = write(fd, text, strlen(text));
    close(fd);
    return n == static_cast<ssize_t>(strlen(text));
}

// A user namespace maps us to root so the other namespaces can be made unprivileged.
bool enterUserNs() {
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER) != 0) return false;
    char map[64];
    writeText("/proc/self/setgroups", "deny");
    snprintf(map, sizeof map, "0 %u 1", static_cast<unsigned>(uid));
    if (!writeText("/proc/self/uid_map", map)) return false;
    snprintf(map, sizeof map, "0 %u 1", static_cast<unsigned>(gid));
    return writeText("/proc/self/gid_map", map);
}

// Runs in the child: namespaces, then the body. Never returns.
[[noreturn]] void childMain(unsigned flags, const std::function<int()>& body) {
    if (flags != 0) {
        int ns = CLONE_NEWNS | ((flags & kNetNs) ? CLONE_NEWNET : 0);
        if (geteuid() != 0 && !enterUserNs()) {
            printf("no user namespace here: %s\n", strerror(errno));
            fflush(stdout);
            _exit(kSkipExit);
        }
        if (unshare(ns) != 0) {
            printf("no namespaces here: %s\n", strerror(errno));
            fflush(stdout);
            _exit(kSkipExit);
        }
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) childFail("private mounts");
        if (flags & kNetNs) {
            // Link-local addresses are usable at once only without duplicate address detection.
            writeText("/proc/sys/net/ipv6/conf/all/accept_dad", "0");
            writeText("/proc/sys/net/ipv6/conf/default/accept_dad", "0");
            // A new network namespace still sees the old /sys/class/net until sysfs is mounted anew.
            if (mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0) childFail("fresh sysfs");
            must("ip link set lo up");
        }
    }
    int rc = body();
    fflush(stdout);
    _exit(rc);
}

}  // namespace

ChildResult runIsolated(unsigned flags, const std::function<int()>& body, int timeoutMs) {
    ChildResult result;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        result.out = "pipe failed";
        return result;
    }
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        close(pipeFds[0]);
        dup2(pipeFds[1], STDOUT_FILENO);
        close(pipeFds[1]);
        childMain(flags, body);
    }
    close(pipeFds[1]);
    if (pid < 0) {
        close(pipeFds[0]);
        result.out = "fork failed";
        return result;
    }
    setpgid(pid, pid);

    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char chunk[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            break;
        }
        pollfd p{pipeFds[0], POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) continue;
        ssize_t n = read(pipeFds[0], chunk, sizeof chunk);
        if (n > 0) {
            result.out.append(chunk, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;  // every writer has gone
        }
    }
    if (result.timedOut) kill(-pid, SIGKILL);
    int status = 0;
    // Background jobs a child left behind may hold the pipe; the child itself is what we wait for.
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    kill(-pid, SIGKILL);
    close(pipeFds[0]);
    if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
        result.skipped = result.exitCode == kSkipExit;
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

void must(const char* format, ...) {
    char command[1024];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(command, sizeof command, format, args);
    va_end(args);
    if (n < 0 || static_cast<size_t>(n) >= sizeof command) {
        fprintf(stderr, "testbed: command too long\n");
        _exit(kSetupFailed);
    }
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (pid < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "testbed: set-up command failed: %s\n", command);
        _exit(kSetupFailed);
    }
}

void makeFixtureDir(const char* dir) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path target(dir);
    fs::path existing = target;
    while (!fs::exists(existing, ec)) existing = existing.parent_path();
    if (existing != target || !fs::exists(target / ".testbed-writable", ec)) {
        // The upper and work directories live on a tmpfs of their own, out of sight.
        static int layer = 0;
        char scratch[64];
        snprintf(scratch, sizeof scratch, "/tmp/.testbed-layer-%d-%d", static_cast<int>(getpid()), layer++);
        fs::create_directories(scratch, ec);
        if (mount("tmpfs", scratch, "tmpfs", 0, "mode=0755") != 0) childFail("layer tmpfs");
        std::string upper = std::string(scratch) + "/upper";
        std::string work = std::string(scratch) + "/work";
        mkdir(upper.c_str(), 0755);
        mkdir(work.c_str(), 0755);
        std::string options = "lowerdir=" + existing.string() + ",upperdir=" + upper + ",workdir=" + work;
        if (mount("overlay", existing.c_str(), "overlay", 0, options.c_str()) != 0) childFail("overlay");
    }
    fs::create_directories(target, ec);
    if (ec) childFail("fixture directory");
}

void writeFixture(const std::string& path, const std::string& text) {
    FILE* f = fopen(path.c_str(), "w");
    if (f == nullptr) childFail(path.c_str());
    size_t n = fwrite(text.data(), 1, text.size(), f);
    if (fclose(f) != 0 || n != text.size()) childFail(path.c_str());
}

void privateDev() {
    // Built aside and moved over /dev, so the host's nodes can still be bound in:
    // device nodes cannot be made inside a user namespace.
    char scratch[] = "/tmp/.testbed-dev-XXXXXX";
    if (mkdtemp(scratch) == nullptr) childFail("dev scratch");
    if (mount("tmpfs", scratch, "tmpfs", MS_NOSUID, "mode=0755") != 0) childFail("tmpfs /dev");
    std::string root = scratch;
    static const char* const kNodes[] = {"null", "zero", "full", "random", "urandom", "tty"};
    for (const char* node : kNodes) {
        std::string here = root + "/" + node;
        int fd = open(here.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
        if (fd < 0) childFail(here.c_str());
        close(fd);
        std::string host = std::string("/dev/") + node;
        if (mount(host.c_str(), here.c_str(), nullptr, MS_BIND, nullptr) != 0) childFail(host.c_str());
    }
    mkdir((root + "/pts").c_str(), 0755);
    mkdir((root + "/shm").c_str(), 01777);
    mkdir((root + "/input").c_str(), 0755);
    if (mount("devpts", (root + "/pts").c_str(), "devpts", 0, "newinstance,ptmxmode=0666,mode=0620") != 0)
        childFail("devpts");
    if (symlink("pts/ptmx", (root + "/ptmx").c_str()) != 0) childFail("ptmx");
    if (mount("tmpfs", (root + "/shm").c_str(), "tmpfs", 0, "mode=1777") != 0) childFail("shm");
    if (symlink("/proc/self/fd", (root + "/fd").c_str()) != 0) childFail("fd link");
    static const char* const kStreams[] = {"stdin", "stdout", "stderr"};
    for (int i = 0; i < 3; ++i) {
        std::string target = "/proc/self/fd/" + std::to_string(i);
        if (symlink(target.c_str(), (root + "/" + kStreams[i]).c_str()) != 0) childFail("stream link");
    }
    if (mount(scratch, "/dev", nullptr, MS_MOVE, nullptr) != 0) childFail("move /dev");
    rmdir(scratch);
}

TempDir::TempDir() {
    char name[] = "/tmp/kit-test-XXXXXX";
    if (mkdtemp(name) != nullptr) path = name;
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
}

void prependPath(const std::string& dir) {
    const char* old = getenv("PATH");
    std::string value = dir + ":" + (old != nullptr ? old : "/usr/bin:/bin");
    setenv("PATH", value.c_str(), 1);
}

std::string readFile(const std::string& path) {
    std::string text;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return text;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
    fclose(f);
    return text;
}

}  // namespace testbed
