#pragma once
// Starts a program under the simulated chip (the preload in effect) with its
// stdout and stderr captured, for tests.

#include <sys/types.h>

#include <string>
#include <vector>

struct SimChild {
    pid_t pid = -1;
    int outFd = -1;
    int errFd = -1;
    std::string out;
    std::string err;
    int status = -1;  // as waitpid reports it, once ended
};

// The environment of this process plus LD_PRELOAD (preload first) and
// GPIOSIM_STATE; ASan's check that its runtime comes first is relaxed,
// since the preload has to come before the program's own libraries.
std::vector<std::string> simEnvironment(const char* preload, const char* statePath);

// Starts argv[0] (a path) with the given environment. False when it could not start.
bool simSpawn(SimChild& child, const std::vector<std::string>& argv, const std::vector<std::string>& env);

// Collects output until the child ends or timeoutMs passes; true when it ended.
bool simWait(SimChild& child, int timeoutMs);

// Sends sig, then waits for the end (bounded) and collects the rest of the output.
bool simStop(SimChild& child, int sig, int timeoutMs = 10000);

// Releases the descriptors; a child still running is killed first.
void simRelease(SimChild& child);
