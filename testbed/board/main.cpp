// virtual-board/run's program: checks the options and faults, then builds the
// board in fresh namespaces around the command, or hands a --kernel run to
// the kernel board. Exit status: the command's; 2 for a refused command line;
// 125 when the board could not be built.

#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "board.h"
#include "core/isolate.h"
#include "faults.h"

namespace {

constexpr int kRefused = 2;

const char kUsage[] =
    "virtual-board/run [--kernel] [--with wifi|bluetooth]... [--fault NAME[=ARG]]... [--] COMMAND [ARG]...\n"
    "\n"
    "Brings up a simulated board around unmodified programs, runs COMMAND on it\n"
    "and tears it all down, leaving the host untouched. Needs no root: the board\n"
    "lives in its own user, network, mount and PID namespaces. With --kernel the\n"
    "board is Debian's arm64 kernel under QEMU with real drivers (kernel-board/run);\n"
    "it starts its radios only --with them (the namespace board always has them).\n"
    "\n"
    "  virtual-board/run ./build/board_test/corvane\n"
    "  virtual-board/run --fault rs485-silent ./build/board_test/corvane\n"
    "  virtual-board/run --kernel ./build-aarch64/board_test/corvane\n"
    "  virtual-board/run sh            # a shell on the board\n"
    "  virtual-board/run --list-faults\n"
    "\n"
    "KIT_BUILD_DIR names the build tree holding the stand-ins (default ./build,\n"
    "with --kernel ./build-aarch64).\n";

[[noreturn]] void refuse(const std::string& why) {
    fprintf(stderr, "virtual-board: %s\n", why.c_str());
    exit(kRefused);
}

pid_t boardPid = -1;
void onStop(int) {
    if (boardPid > 0) kill(boardPid, SIGKILL);
}

// The board's PID 1 in fresh namespaces; this side stays in front, and on
// SIGTERM, SIGINT or SIGHUP kills it, which takes every process of the board.
int runInNamespaces(const board::BoardPaths& paths, const board::FaultSet& faults,
                    const std::vector<std::string>& command) {
    std::string why;
    if (!testbed::enterUserNamespace(why) || unshare(CLONE_NEWNET | CLONE_NEWNS | CLONE_NEWPID) != 0) {
        if (why.empty()) why = std::string("no namespaces here: ") + strerror(errno);
        fprintf(stderr, "virtual-board: %s\n", why.c_str());
        return board::kNoBoard;
    }
    fflush(nullptr);
    boardPid = fork();
    if (boardPid < 0) {
        fprintf(stderr, "virtual-board: fork: %s\n", strerror(errno));
        return board::kNoBoard;
    }
    if (boardPid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        exit(board::runBoard(paths, faults, command));
    }
    struct sigaction sa {};
    sa.sa_handler = onStop;
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &sa, nullptr);
    int status = 0;
    while (waitpid(boardPid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

// In a sanitizer build the board is an instrument, not a thing under test,
// and as PID 1 of its namespaces the leak check cannot stop its threads.
extern "C" int __lsan_is_turned_off() { return 1; }

int main(int argc, char** argv) {
    board::FaultSet faults;
    bool kernel = false;
    int i = 1;
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--fault") {
            if (i + 1 >= argc) refuse("--fault needs a name");
            std::string why;
            if (!board::addFault(faults, argv[++i], why)) refuse(why);
        } else if (arg == "--with") {
            if (i + 1 >= argc) refuse("--with needs a part");
            std::string why;
            if (!board::addPart(faults, argv[++i], why)) refuse(why);
        } else if (arg == "--kernel") {
            kernel = true;
        } else if (arg == "--list-faults") {
            fputs(board::faultList().c_str(), stdout);
            return 0;
        } else if (arg == "--") {
            ++i;
            break;
        } else if (arg.size() > 1 && arg[0] == '-') {
            refuse("unknown option " + arg);
        } else {
            break;
        }
    }
    if (i >= argc) {
        fputs(kUsage, stderr);
        return kRefused;
    }
    std::vector<std::string> command(argv + i, argv + argc);
    const char* repo = getenv("KIT_VB_REPO");
    if (repo == nullptr) refuse("start me through virtual-board/run");

    if (kernel) {
        std::string why;
        if (!board::checkKernelBoard(faults, why)) refuse(why);
        setenv("KIT_VB_FAULTS", faults.joined().c_str(), 1);
        std::string run = std::string(repo) + "/kernel-board/run";
        std::vector<char*> args{run.data()};
        for (std::string& a : command) args.push_back(a.data());
        args.push_back(nullptr);
        execv(run.c_str(), args.data());
        fprintf(stderr, "virtual-board: cannot run %s: %s\n", run.c_str(), strerror(errno));
        return board::kNoBoard;
    }
    // The stand-ins' build tree; the kernel board keeps its own default.
    const char* tree = getenv("KIT_BUILD_DIR");
    std::error_code ec;
    std::string build =
        std::filesystem::absolute(tree != nullptr && *tree != '\0' ? tree : std::string(repo) + "/build", ec);
    setenv("KIT_BUILD_DIR", build.c_str(), 1);  // as the board's commands always saw it
    char cwd[PATH_MAX];
    board::BoardPaths paths{build, std::string(repo) + "/testbed/tools",
                            getcwd(cwd, sizeof cwd) != nullptr ? cwd : "/run"};
    return runInNamespaces(paths, faults, command);
}
