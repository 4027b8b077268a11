#pragma once
// Test-side helpers around the echofw program: its event lines (its stdout)
// read as they come. Every wait here has a time limit.

#include <cstdint>
#include <string>
#include <vector>

#include "core/process.h"

namespace echofw {

// A running echofw; killed when the record goes away.
struct Process {
    testbed::Process proc;
    std::string slave;     // the port, from the "ready" line
    int32_t received = 0;  // whole messages it has reported
};

// Starts program (the echofw binary) with args and waits for its "ready"
// line. False (reason on stderr) when it did not get ready in time.
bool start(Process& fw, const char* program, const std::vector<std::string>& args, int timeoutMs);

// Waits until fw has reported at least count messages.
bool waitReceived(Process& fw, int32_t count, int timeoutMs);

// Asks fw to stop, takes in its remaining events and returns its wait status,
// or -1 when it had to be killed.
int stop(Process& fw, int timeoutMs);

}  // namespace echofw
