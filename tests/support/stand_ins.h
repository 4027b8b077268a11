#pragma once
// Tool stand-ins (testbed/tools) first in PATH for a routine that runs the
// board's tools: a bin directory of links to them, the log of every call
// and a state directory for the faults a test sets.

#include <cstdlib>
#include <initializer_list>
#include <string>

#include "isolated.h"

struct StandIns {
    TempDir bin;
    TempDir state;
    std::string log = bin.path + "/tools.log";

    // Inside the child: the named stand-ins become the tools the shell
    // finds, and stateVar names their state directory (when given).
    void install(std::initializer_list<const char*> tools, const char* stateVar = nullptr) const {
        for (const char* tool : tools) testbed::must("ln -s %s/%s %s/%s", KIT_TOOLS_DIR, tool, bin.path.c_str(), tool);
        testbed::prependPath(bin.path);
        setenv("KIT_TOOL_LOG", log.c_str(), 1);
        if (stateVar != nullptr) setenv(stateVar, state.path.c_str(), 1);
    }
    std::string calls() const { return testbed::readFile(log); }
};
