#pragma once
// Test-side helpers around the echofw program and the programs run against it.
// Every wait here has a time limit.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace echofw {

// A running echofw whose event lines (its stdout) come through a pipe.
struct Process {
    pid_t pid = -1;
    int events = -1;
    std::string slave;     // the port, from the "ready" line
    int32_t received = 0;  // whole messages it has reported
    std::string partial;   // an event line still being written
    Process() = default;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process();  // kills it when still running
};

// Starts program (the echofw binary) with args and waits for its "ready"
// line. False (reason on stderr) when it did not get ready in time.
bool start(Process& fw, const char* program, const std::vector<std::string>& args, int timeoutMs);

// Waits until fw has reported at least count messages.
bool waitReceived(Process& fw, int32_t count, int timeoutMs);

// Asks fw to stop, takes in its remaining events and returns its wait status,
// or -1 when it had to be killed.
int stop(Process& fw, int timeoutMs);

// Starts path with stdin on /dev/null, stdout and stderr inherited and no
// other descriptor open; beforeExec runs in the child just before exec.
pid_t spawn(const char* path, const std::function<void()>& beforeExec = {});

// The wait status of pid once it has ended, or -1 while it still runs after timeoutMs.
int waitExit(pid_t pid, int timeoutMs);

}  // namespace echofw
