#pragma once
// The namespace board: what its PID 1 builds around the command, from the
// stand-ins of one build tree. Runs only as PID 1 of fresh user, network,
// mount and PID namespaces; anywhere else it would change the host.

#include <string>
#include <vector>

#include "faults.h"

namespace board {

// The exit status of a board that could not be built.
constexpr int kNoBoard = 125;

struct BoardPaths {
    std::string build;  // the build tree holding the stand-ins
    std::string tools;  // the tool stand-ins (testbed/tools of the checkout)
    std::string cwd;    // where the command starts; /run when it cannot be entered
};

// Builds the board, runs the command on it and returns its exit status
// (128 + the signal when a signal ended it). A set-up that fails ends the
// process with 125 and the reason on stderr.
int runBoard(const BoardPaths& paths, const FaultSet& faults, const std::vector<std::string>& command);

}  // namespace board
