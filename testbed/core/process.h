#pragma once
// The one way the tests and the boards start a program or a stand-in: start
// it, optionally with its stdout and stderr captured, wait for a line it
// prints (a "ready" handshake), wait for its end with a bound, stop it by
// signal and reap it. Every wait has a time limit; a process still running
// when its record goes away is killed and reaped.

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "fd.h"

namespace testbed {

struct Process {
    pid_t pid = -1;
    int status = -1;  // as waitpid reports it, once ended
    Fd outPipe;       // read ends of the captured streams
    Fd errPipe;
    std::string out;  // what it wrote so far to a captured stdout / stderr
    std::string err;
    size_t seen = 0;  // how much of out waitLine has looked at
    Process() = default;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process();
    bool running() const { return pid > 0; }
};

struct StartOptions {
    bool captureOut = false;
    bool captureErr = false;
    bool nullStdin = false;  // stdin on /dev/null
    // No descriptor above 2, as from an operator's shell (so the program's
    // first open gets 3, as on the board).
    bool closeAbove2 = false;
    // The whole environment when set (NAME=value); else this process's
    // environment plus addEnv (NAME=value each).
    std::optional<std::vector<std::string>> env;
    std::vector<std::string> addEnv;
    std::function<void()> beforeExec;  // runs in the child just before exec
};

// Starts argv[0] (looked up in PATH when it has no slash). False when it
// could not be started; a program that cannot be executed ends with 127.
bool start(Process& p, const std::vector<std::string>& argv, const StartOptions& options = {});
// Runs body in a forked child that exits with its result.
bool startBody(Process& p, const std::function<int()>& body, const StartOptions& options = {});

// Waits until a captured stdout shows a whole line starting with prefix
// (lines looked at before are not looked at again); the line without its
// newline goes to line. False on time-out or when the process ended first.
bool waitLine(Process& p, const std::string& prefix, std::string& line, int timeoutMs);
// Waits up to timeoutMs for more output or the end; false when nothing came.
bool pump(Process& p, int timeoutMs);
// Waits for the end, taking in captured output; true when it ended (status set).
bool waitEnd(Process& p, int timeoutMs);
// Sends sig and waits for the end; kills and reaps it when the time runs out.
// True when it ended within the time.
bool stop(Process& p, int sig, int timeoutMs = 10000);

// Starts argv and waits for its end; its wait status, -1 when it could not
// start or had to be killed after timeoutMs. Output goes where this
// process's goes.
int runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& addEnv = {},
               int timeoutMs = 300000);

}  // namespace testbed
