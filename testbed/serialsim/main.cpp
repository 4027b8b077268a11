// serialsim: serves simulated serial ports for the virtual board.
// Usage: serialsim MODE LINK...   (MODE: loopback, bus, silent, garbage, partial)
// Each LINK becomes a symlink to one pseudo-terminal; runs until SIGTERM/SIGINT.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "core/pty_line.h"

int main(int argc, char** argv) {
    testbed::LineMode mode;
    if (argc < 3 || !testbed::parseLineMode(argv[1], mode)) {
        fprintf(stderr, "usage: serialsim loopback|bus|silent|garbage|partial LINK...\n");
        return 2;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    testbed::PtyLines lines(argc - 2, mode);
    if (!lines.ok()) {
        perror("serialsim: pseudo-terminal");
        return 1;
    }
    for (int i = 2; i < argc; ++i) {
        unlink(argv[i]);
        if (symlink(lines.path(i - 2).c_str(), argv[i]) != 0) {
            perror(argv[i]);
            return 1;
        }
    }
    printf("ready\n");
    fflush(stdout);
    int sig = 0;
    sigwait(&stop, &sig);
    return 0;
}
