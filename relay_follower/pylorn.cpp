// Relay follower: holds four inputs and four relays of the first GPIO chip
// and drives each relay to its input's level every 100 ms, until killed.

#include <gpiod.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kChipPath = "/dev/gpiochip0";
constexpr useconds_t kFollowPeriodUs = 100000;
constexpr int kPairs = 4;

struct LineSpec {
    unsigned offset;
    const char* label;
};

// Input k drives relay k; input offsets run down while relay offsets run up.
constexpr LineSpec kRelays[kPairs] = {{8, "rel1"}, {9, "rel2"}, {10, "rel3"}, {11, "rel4"}};
constexpr LineSpec kInputs[kPairs] = {{6, "in1"}, {5, "in2"}, {4, "in3"}, {3, "in4"}};

// Builds the configurations for one line and requests it. On failure errno
// names the failed step; it is kept across the clean-up calls.
gpiod_line_request* requestWithSettings(gpiod_chip* chip, gpiod_line_settings* settings, unsigned offset,
                                        const char* label) {
    gpiod_line_config* lineConfig = gpiod_line_config_new();
    if (lineConfig == nullptr) return nullptr;
    gpiod_request_config* requestConfig = nullptr;
    if (gpiod_line_config_add_line_settings(lineConfig, &offset, 1, settings) == 0)
        requestConfig = gpiod_request_config_new();
    gpiod_line_request* request = nullptr;
    if (requestConfig != nullptr) {
        gpiod_request_config_set_consumer(requestConfig, label);
        request = gpiod_chip_request_lines(chip, requestConfig, lineConfig);
    }
    int error = errno;
    gpiod_request_config_free(requestConfig);
    gpiod_line_config_free(lineConfig);
    errno = error;
    return request;
}

// One single-line request on a chip opened for it alone; every object but the
// request is freed before returning.
gpiod_line_request* requestLine(unsigned offset, const char* label, gpiod_line_direction direction) {
    gpiod_chip* chip = gpiod_chip_open(kChipPath);
    if (chip == nullptr) return nullptr;
    gpiod_line_request* request = nullptr;
    gpiod_line_settings* settings = gpiod_line_settings_new();
    if (settings != nullptr) {
        gpiod_line_settings_set_direction(settings, direction);
        if (direction == GPIOD_LINE_DIRECTION_OUTPUT)
            gpiod_line_settings_set_output_value(settings, GPIOD_LINE_VALUE_INACTIVE);
        request = requestWithSettings(chip, settings, offset, label);
    }
    int error = errno;
    gpiod_line_settings_free(settings);
    gpiod_chip_close(chip);
    errno = error;
    return request;
}

}  // namespace

gpiod_line_request* requestOutputLine(unsigned offset, const char* label) {
    return requestLine(offset, label, GPIOD_LINE_DIRECTION_OUTPUT);
}

gpiod_line_request* requestInputLine(unsigned offset, const char* label) {
    return requestLine(offset, label, GPIOD_LINE_DIRECTION_INPUT);
}

// A failed read (the library's error value) leaves the relay as it is until
// the next good read; handed on, the library would take it for "active".
void followInput(gpiod_line_request* input, unsigned inputOffset, gpiod_line_request* relay, unsigned relayOffset) {
    gpiod_line_value value = gpiod_line_request_get_value(input, inputOffset);
    if (value == GPIOD_LINE_VALUE_ERROR) return;
    gpiod_line_request_set_value(relay, relayOffset, value);
}

int main() {
    gpiod_line_request* relays[kPairs] = {};
    gpiod_line_request* inputs[kPairs] = {};
    // The error of the refused request is kept: a later granted one may clear errno.
    int refusal = 0;
    for (int k = 0; k < kPairs; ++k) {
        relays[k] = requestOutputLine(kRelays[k].offset, kRelays[k].label);
        if (relays[k] == nullptr) refusal = errno;
    }
    for (int k = 0; k < kPairs; ++k) {
        inputs[k] = requestInputLine(kInputs[k].offset, kInputs[k].label);
        if (inputs[k] == nullptr) refusal = errno;
    }
    for (int k = 0; k < kPairs; ++k) {
        if (relays[k] == nullptr || inputs[k] == nullptr) {
            errno = refusal;
            fprintf(stderr, "failed to request line: %m\n");
            return 1;
        }
    }
    for (;;) {
        usleep(kFollowPeriodUs);
        for (int k = 0; k < kPairs; ++k) followInput(inputs[k], kInputs[k].offset, relays[k], kRelays[k].offset);
    }
}
