#pragma once
// Running a command on a board (virtual-board/run) from a test: the
// launcher's command line, and one run with stdout captured byte for byte
// within the test's time limit.

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "core/process.h"
#include "isolated.h"

struct BoardRun {
    int status = -1;  // exit status, or 128 + signal; -2 when the test's time limit ended it
    std::string out;
    double seconds = 0;  // from the launch to the end
};

// head (the launcher and its options), a --fault for each fault, then the command.
inline std::vector<std::string> boardCommand(std::vector<std::string> head, const std::vector<std::string>& faults,
                                             const std::vector<std::string>& argv) {
    for (const std::string& f : faults) head.insert(head.end(), {"--fault", f});
    head.push_back("--");
    head.insert(head.end(), argv.begin(), argv.end());
    return head;
}

// Runs cmd with env added, from cwd when one is given.
inline BoardRun runBoard(const std::vector<std::string>& cmd, const std::vector<std::string>& env, int timeoutMs,
                         const std::string& cwd = "") {
    auto start = std::chrono::steady_clock::now();
    auto r = runIsolated(
        0,
        [&] {
            if (!cwd.empty() && chdir(cwd.c_str()) != 0) return 99;
            int st = testbed::runProgram(cmd, env);
            return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        },
        timeoutMs);
    return {r.timedOut ? -2 : r.exitCode, r.out,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
}
