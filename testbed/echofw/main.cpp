// echofw: the echo firmware stand-in as a program, for tests and the virtual board.
// A script starts it in the background, waits for its "ready" line (or for the
// link to appear) and stops it with SIGTERM.

#include <cstdio>

#include "echofw.h"

int main(int argc, char** argv) {
    echofw::Config config;
    char error[160];
    std::span<const char* const> args(argv + 1, static_cast<size_t>(argc > 0 ? argc - 1 : 0));
    if (!echofw::parseArgs(args, config, error)) {
        fprintf(stderr, "echofw: %s\n%s", error, echofw::usage());
        return 2;
    }
    return echofw::run(config);
}
