#pragma once
// GPIO pin-pair test: inputs wired to outputs on a fixture, each driven low
// and high through the kernel's line-handle interface and read back.

#include <linux/gpio.h>

#include <cstdint>

struct GpioPin {
    char chipPath[16];  // e.g. "/dev/gpiochip0"
    uint32_t lineOffset;
    struct gpiohandle_request handleRequest;  // filled by initGpioInput / initGpioOutput
    char name[32];                            // consumer label, shown in error texts
    int32_t pairIndex;                        // inputs only: index of the wired output
};

// Request the pin's line as an input, or as an output that starts low;
// true when granted (the handle is then in handleRequest.fd).
bool initGpioInput(GpioPin& pin);
bool initGpioOutput(GpioPin& pin);

// The pin-pair test. It shares its name with the relay follower program
// (relay_follower/, a separate deliverable); its log entries read "pylorn"
// and line scripts match them, so the name stays.
// Drives every input's paired output low, then high, and reads the input
// each time. True when every input followed; every line used is left free
// and configured as an input.
bool pylorn(GpioPin* inputs, GpioPin* outputs, uint64_t inputCount, uint64_t outputCount);
