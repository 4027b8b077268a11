// routine NAME [ARG]...: runs one of corvane's callable routines on the board
// it runs on and prints its log, then "result true" or "result false". The
// kernel-board tests use it to run the routines against the kernel's own
// drivers; they are not part of the fixed sequence.
//
//   testMemory
//   testEth IFACE
//   testRtc DEVICE NAME ALARM(0|1) IRQ
//   testPortPing PORT
//   testPort PORT...
//   executeAndWait PATH:NAME:CODE...  the buttons, in turn
//   testCan IFACE
//   testCanLoop RECEIVER SENDER
//   pinPairs CHIP IN:OUT...          one input line paired with one output line
//   initGpioInput CHIP OFFSET NAME   request, then release, the line as an input
//   isWlan IFACE
//   testWlan IFACE
//   testBluetooth
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tests/button.h"
#include "tests/can.h"
#include "tests/gpio_pairs.h"
#include "tests/memory.h"
#include "tests/network.h"
#include "tests/rtc.h"
#include "tests/serial.h"
#include "tests/wireless.h"

namespace {

bool toInt(const char* text, long& value) {
    char* end = nullptr;
    value = strtol(text, &end, 10);
    return end != text && *end == '\0';
}

GpioPin pin(const char* chip, long offset, const char* name) {
    GpioPin p{};
    snprintf(p.chipPath, sizeof p.chipPath, "%s", chip);
    p.lineOffset = static_cast<uint32_t>(offset);
    snprintf(p.name, sizeof p.name, "%s", name);
    return p;
}

// Pairs given as IN:OUT line offsets; false with usage set when one is not.
bool pinPairs(const char* chip, int count, char** pairs, bool& usage) {
    std::vector<GpioPin> inputs;
    std::vector<GpioPin> outputs;
    for (int i = 0; i < count && i < 32; ++i) {
        long in = 0;
        long out = 0;
        char* colon = strchr(pairs[i], ':');
        if (colon != nullptr) *colon = '\0';
        if (colon == nullptr || !toInt(pairs[i], in) || !toInt(colon + 1, out) || in < 0 || out < 0) {
            usage = true;
            return false;
        }
        char label[16];
        snprintf(label, sizeof label, "in%d", i + 1);
        inputs.push_back(pin(chip, in, label));
        inputs.back().pairIndex = i;
        snprintf(label, sizeof label, "out%d", i + 1);
        outputs.push_back(pin(chip, out, label));
    }
    return pylorn(inputs.data(), outputs.data(), inputs.size(), outputs.size());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: routine NAME [ARG]...\n");
        return 2;
    }
    const char* name = argv[1];
    int n = argc - 2;
    char** args = argv + 2;
    bool usage = false;
    bool result = false;
    long a = 0;
    long b = 0;
    if (strcmp(name, "testMemory") == 0 && n == 0) {
        result = testMemory();
    } else if (strcmp(name, "testEth") == 0 && n == 1) {
        result = testEth(args[0]);
    } else if (strcmp(name, "testRtc") == 0 && n == 4 && toInt(args[2], a) && toInt(args[3], b)) {
        result = testRtc(args[0], args[1], a != 0, static_cast<int32_t>(b));
    } else if (strcmp(name, "testPortPing") == 0 && n == 1) {
        result = testPortPing(args[0]);
    } else if (strcmp(name, "testPort") == 0 && n >= 1) {
        result = testPort(args, static_cast<uint64_t>(n));
    } else if (strcmp(name, "executeAndWait") == 0 && n >= 1 && n <= 8) {
        ButtonDef buttons[8];
        for (int i = 0; i < n && !usage; ++i) {
            // PATH:NAME:CODE, split in place; the texts stay in argv.
            char* second = strchr(args[i], ':');
            char* third = second != nullptr ? strchr(second + 1, ':') : nullptr;
            if (third == nullptr || !toInt(third + 1, a)) {
                usage = true;
                break;
            }
            *second = '\0';
            *third = '\0';
            buttons[i] = ButtonDef{args[i], second + 1, static_cast<int32_t>(a)};
        }
        if (!usage) result = executeAndWait(buttons, n);
    } else if (strcmp(name, "testCan") == 0 && n == 1) {
        result = testCan(args[0]);
    } else if (strcmp(name, "testCanLoop") == 0 && n == 2) {
        result = testCanLoop(args[0], args[1]);
    } else if (strcmp(name, "pinPairs") == 0 && n >= 2) {
        result = pinPairs(args[0], n - 1, args + 1, usage);
    } else if (strcmp(name, "initGpioInput") == 0 && n == 3 && toInt(args[1], a) && a >= 0) {
        GpioPin p = pin(args[0], a, args[2]);
        result = initGpioInput(p);
        if (result) close(p.handleRequest.fd);
    } else if (strcmp(name, "isWlan") == 0 && n == 1) {
        result = isWlan(args[0]);
    } else if (strcmp(name, "testWlan") == 0 && n == 1) {
        result = testWlan(args[0]);
    } else if (strcmp(name, "testBluetooth") == 0 && n == 0) {
        result = testBluetooth();
    } else {
        usage = true;
    }
    if (usage) {
        fprintf(stderr, "routine: unknown routine or arguments: %s\n", name);
        return 2;
    }
    printf("result %s\n", result ? "true" : "false");
    return 0;
}
