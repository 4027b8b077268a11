#pragma once
// How a program starts under the simulated chip: the preload in effect and
// its stdout and stderr captured, for tests and benchmarks.

#include <string>
#include <vector>

#include "core/process.h"

// The environment of this process plus LD_PRELOAD (preload first) and
// GPIOSIM_STATE; ASan's check that its runtime comes first is relaxed,
// since the preload has to come before the program's own libraries.
std::vector<std::string> simEnvironment(const char* preload, const char* statePath);

// Start options with that environment and both streams captured.
testbed::StartOptions simOptions(const char* preload, const char* statePath);
