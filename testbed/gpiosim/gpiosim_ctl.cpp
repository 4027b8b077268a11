// Control tool of the simulated GPIO chip: creates the chip, wires it, sets
// input levels and read faults, and shows the lines, from outside the
// programs that use it. Usage in README.md.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "core/standin.h"
#include "sim_chip.h"

namespace {

bool parseNumber(const char* text, uint32_t& value) { return testbed::parseNumber(text, 0, UINT32_MAX, value); }
bool parseLevel(const char* text, int& level) { return testbed::parseNumber(text, 0, 1, level); }

void showLine(const SimSession& session, uint32_t offset) {
    char consumer[kSimNameSize] = {};
    bool held = simIsHeld(session, offset, &consumer);
    int from = simWiredFrom(session, offset);
    printf("%u %s %d %s%s", offset, simDirection(session, offset) == kSimOutput ? "output" : "input",
           simLevel(session, offset), held ? "held:" : "free", held ? consumer : "");
    if (from >= 0) printf(" from %d", from);
    if (simFailsReads(session, offset)) printf(" failing");
    printf("\n");
}

// Runs one command of words[0..count); returns the number of words used, 0 on error.
int runCommand(SimSession& session, const char* const* words, int count) {
    const char* cmd = words[0];
    uint32_t a = 0, b = 0;
    int level = 0;
    auto arg = [&](int i) { return i < count ? words[i] : nullptr; };
    if (strcmp(cmd, "wire") == 0 && parseNumber(arg(1), a) && parseNumber(arg(2), b))
        return simWire(session, a, b) ? 3 : 0;
    if (strcmp(cmd, "unwire") == 0 && parseNumber(arg(1), a)) return simUnwire(session, a) ? 2 : 0;
    if (strcmp(cmd, "set") == 0 && parseNumber(arg(1), a) && parseLevel(arg(2), level))
        return simSetExternal(session, a, level) ? 3 : 0;
    if (strcmp(cmd, "fail") == 0 && parseNumber(arg(1), a) && parseLevel(arg(2), level))
        return simSetFailReads(session, a, level != 0) ? 3 : 0;
    if (strcmp(cmd, "get") == 0 && parseNumber(arg(1), a) && a < session.chip->numLines) {
        printf("%d\n", simLevel(session, a));
        return 2;
    }
    if (strcmp(cmd, "hold") == 0 && parseNumber(arg(1), a) && arg(2) != nullptr) {
        // Another consumer holding a line, as long as this process lives.
        SimLineRequest line{a, kSimInput, 0};
        if (simRequest(session, &line, 1, arg(2)) < 0) {
            fprintf(stderr, "gpiosim_ctl: hold %u: %s\n", a, strerror(errno));
            return 0;
        }
        printf("ready\n");
        fflush(stdout);
        for (;;) pause();
    }
    if (strcmp(cmd, "show") == 0) {
        for (uint32_t i = 0; i < session.chip->numLines; ++i) showLine(session, i);
        return 1;
    }
    return 0;
}

int runWords(SimSession& session, const char* const* words, int count) {
    for (int i = 0; i < count;) {
        int used = runCommand(session, words + i, count - i);
        if (used == 0) {
            fprintf(stderr, "gpiosim_ctl: bad command at \"%s\"\n", words[i]);
            return 1;
        }
        i += used;
    }
    return 0;
}

int create(const char* state, int argc, char** argv) {
    const char* path = argc > 3 ? argv[3] : "/dev/gpiochip0";
    uint32_t lines = 16;
    if (argc > 4 && !parseNumber(argv[4], lines)) lines = 0;
    if (simCreate(state, path, lines)) return 0;
    fprintf(stderr, "gpiosim_ctl: cannot create %s: %s\n", state, strerror(errno));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr,
                "usage: gpiosim_ctl STATE create [PATH [LINES]]\n"
                "       gpiosim_ctl STATE COMMAND... (wire OUT IN, unwire IN, set IN 0|1,\n"
                "                                      fail IN 0|1, get OFFSET, show,\n"
                "                                      hold OFFSET CONSUMER: holds until killed)\n");
        return 2;
    }
    if (strcmp(argv[2], "create") == 0) return create(argv[1], argc, argv);
    SimSession session;
    if (!simAttach(argv[1], session)) {
        fprintf(stderr, "gpiosim_ctl: cannot use %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    int result = runWords(session, argv + 2, argc - 2);
    simDetach(session);
    return result;
}
