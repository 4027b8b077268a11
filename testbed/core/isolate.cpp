#include "isolate.h"

#include "process.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace testbed {
namespace {

int setupFailure = 99;

[[noreturn]] void childFail(const char* what) {
    fprintf(stderr, "testbed: %s: %s\n", what, strerror(errno));
    _exit(setupFailure);
}

}  // namespace

bool enterUserNamespace(std::string& why) {
    // We become root of the new namespace, so the other namespaces can be made unprivileged.
    uid_t uid = getuid();
    gid_t gid = getgid();
    char map[64];
    bool ok = unshare(CLONE_NEWUSER) == 0;
    if (ok) {
        writeFile("/proc/self/setgroups", "deny");
        snprintf(map, sizeof map, "0 %u 1", static_cast<unsigned>(uid));
        ok = writeFile("/proc/self/uid_map", map);
    }
    if (ok) {
        snprintf(map, sizeof map, "0 %u 1", static_cast<unsigned>(gid));
        ok = writeFile("/proc/self/gid_map", map);
    }
    if (!ok) why = std::string("no user namespace here: ") + strerror(errno);
    return ok;
}

void freshNetwork() {
    // Link-local addresses are usable at once only without duplicate address detection.
    writeFile("/proc/sys/net/ipv6/conf/all/accept_dad", "0");
    writeFile("/proc/sys/net/ipv6/conf/default/accept_dad", "0");
    // A new network namespace still sees the old /sys/class/net until sysfs is mounted anew.
    if (mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0) childFail("fresh sysfs");
    must("ip link set lo up");
}

void ethernetCable(bool eth1Up, bool eth1Ipv6) {
    must("ip link add eth0 address 02:00:00:00:00:01 type veth peer name eth1 address 02:00:00:00:00:02");
    if (!eth1Ipv6 && !writeFile("/proc/sys/net/ipv6/conf/eth1/disable_ipv6", "1")) childFail("IPv6 off on eth1");
    must("ip link set eth0 up");
    if (eth1Up) must("ip link set eth1 up");
}

void exitOnSetupFailureWith(int code) { setupFailure = code; }

void must(const char* format, ...) {
    char command[1024];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(command, sizeof command, format, args);
    va_end(args);
    if (n < 0 || static_cast<size_t>(n) >= sizeof command) {
        fprintf(stderr, "testbed: command too long\n");
        _exit(setupFailure);
    }
    Process sh;
    StartOptions options;
    options.beforeExec = [] { dup2(STDERR_FILENO, STDOUT_FILENO); };
    bool ok = start(sh, {"/bin/sh", "-c", command}, options) && waitEnd(sh, 60000) && sh.status == 0;
    if (!ok) {
        stop(sh, SIGKILL, 1000);
        fprintf(stderr, "testbed: set-up command failed: %s\n", command);
        _exit(setupFailure);
    }
}

FixtureLayer newFixtureLayer(const std::string& under) {
    // The upper and work directories live on a tmpfs of their own, out of sight.
    static int count = 0;
    FixtureLayer layer;
    std::string scratch = under + "/.testbed-layer-" + std::to_string(getpid()) + "-" + std::to_string(count++);
    std::error_code ec;
    std::filesystem::create_directories(scratch, ec);
    if (mount("tmpfs", scratch.c_str(), "tmpfs", 0, "mode=0755") != 0) childFail("layer tmpfs");
    layer.upper = scratch + "/upper";
    layer.work = scratch + "/work";
    if (mkdir(layer.upper.c_str(), 0755) != 0 || mkdir(layer.work.c_str(), 0755) != 0) childFail("layer");
    return layer;
}

void mountFixtureLayer(const FixtureLayer& layer, const std::string& target) {
    std::string options = "lowerdir=" + target + ",upperdir=" + layer.upper + ",workdir=" + layer.work;
    if (mount("overlay", target.c_str(), "overlay", 0, options.c_str()) != 0) childFail(target.c_str());
}

void makeFixtureDir(const char* dir) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path target(dir);
    fs::path existing = target;
    while (!fs::exists(existing, ec)) existing = existing.parent_path();
    if (existing != target || !fs::exists(target / ".testbed-writable", ec))
        mountFixtureLayer(newFixtureLayer(), existing.string());
    fs::create_directories(target, ec);
    if (ec) childFail("fixture directory");
}

bool writeFile(const std::string& path, const std::string& text) {
    // One write: a /proc map file takes its whole text in one.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return close(fd) == 0 && ok;
}

void writeFixture(const std::string& path, const std::string& text) {
    if (!writeFile(path, text)) childFail(path.c_str());
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
