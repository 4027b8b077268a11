#include "gpio_pairs.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#include <span>

#include "../log/log.h"

namespace {

// Closes the chip descriptor on every path; a granted line handle outlives it.
struct ChipFd {
    int fd;
    explicit ChipFd(const char* path) : fd(open(path, O_RDONLY)) {}
    ChipFd(const ChipFd&) = delete;
    ChipFd& operator=(const ChipFd&) = delete;
    ~ChipFd() {
        if (fd >= 0) close(fd);
    }
};

// The caller's texts, terminated even when the record's fields are not.
struct PinText {
    char path[sizeof GpioPin::chipPath + 1];
    char name[sizeof GpioPin::name + 1];
};

PinText pinText(const GpioPin& pin) {
    PinText text{};
    memcpy(text.path, pin.chipPath, sizeof pin.chipPath);
    memcpy(text.name, pin.name, sizeof pin.name);
    return text;
}

enum class Grant { Granted, OpenFailed, Refused };

Grant requestLine(GpioPin& pin, const PinText& text, uint32_t flags) {
    ChipFd chip(text.path);
    if (chip.fd < 0) return Grant::OpenFailed;
    gpiohandle_request& request = pin.handleRequest;
    memset(&request, 0, sizeof request);
    request.lineoffsets[0] = pin.lineOffset;
    request.flags = flags;
    request.lines = 1;
    // At most 31 characters and a terminator, as the label field allows.
    memcpy(request.consumer_label, text.name, strnlen(text.name, sizeof request.consumer_label - 1));
    return ioctl(chip.fd, GPIO_GET_LINEHANDLE_IOCTL, &request) == -1 ? Grant::Refused : Grant::Granted;
}

int readLine(GpioPin& input, gpiohandle_data& data) {
    return ioctl(input.handleRequest.fd, GPIOHANDLE_GET_LINE_VALUES_IOCTL, &data);
}

int driveLine(GpioPin& output, gpiohandle_data& data) {
    return ioctl(output.handleRequest.fd, GPIOHANDLE_SET_LINE_VALUES_IOCTL, &data);
}

// Low phase, then high phase; the results of the requests themselves are not
// examined, only the values read (a failed read leaves the record as it was).
bool followsBothLevels(GpioPin& input, GpioPin& output) {
    gpiohandle_data drive{};
    gpiohandle_data read{};
    driveLine(output, drive);
    readLine(input, read);
    if (read.values[0] != 0) return false;
    drive.values[0] = 1;
    driveLine(output, drive);
    readLine(input, read);
    return read.values[0] == 1;
}

// Gives the line back configured as an input.
void releasePin(GpioPin& pin) {
    close(pin.handleRequest.fd);
    if (initGpioInput(pin)) close(pin.handleRequest.fd);
}

void closeHandles(std::span<GpioPin> pins) {
    for (GpioPin& pin : pins) close(pin.handleRequest.fd);
}

// Every input must name an element of the output array, checked before any
// line is touched.
bool pairsInRange(std::span<GpioPin> inputs, std::span<GpioPin> outputs) {
    for (const GpioPin& input : inputs) {
        if (input.pairIndex >= 0 && static_cast<uint64_t>(input.pairIndex) < outputs.size()) continue;
        PinText text = pinText(input);
        logError("pylorn", "Pin pair index out of range %s %d\n", text.name, input.pairIndex);
        return false;
    }
    return true;
}

// Requests every pin; on a refusal the lines granted so far in this call are
// given back, so a failed run leaves nothing held.
bool requestAll(std::span<GpioPin> pins, bool (*init)(GpioPin&), std::span<GpioPin> alreadyHeld) {
    for (size_t i = 0; i < pins.size(); ++i) {
        if (init(pins[i])) continue;
        closeHandles(pins.first(i));
        closeHandles(alreadyHeld);
        return false;
    }
    return true;
}

}  // namespace

bool initGpioInput(GpioPin& pin) {
    PinText text = pinText(pin);
    switch (requestLine(pin, text, GPIOHANDLE_REQUEST_INPUT)) {
        case Grant::OpenFailed:
            logError("initGpioInput", "Init input: Failed open %s %s \n", text.path, text.name);
            return false;
        case Grant::Refused:
            logError("initGpioInput", "Init input: Failed close %s %s \n", text.path, text.name);
            return false;
        case Grant::Granted: break;
    }
    return true;
}

bool initGpioOutput(GpioPin& pin) {
    PinText text = pinText(pin);
    switch (requestLine(pin, text, GPIOHANDLE_REQUEST_OUTPUT)) {
        case Grant::OpenFailed:
            logError("initGpioOutput", "Init output: Failed open %s %s \n", text.path, text.name);
            return false;
        case Grant::Refused:
            logError("initGpioOutput", "Init output: Failed close %s %s \n", text.path, text.name);
            return false;
        case Grant::Granted: break;
    }
    return true;
}

bool pylorn(GpioPin* inputs, GpioPin* outputs, uint64_t inputCount, uint64_t outputCount) {
    if (inputCount == 0 && outputCount == 0) return true;
    std::span<GpioPin> ins(inputs, inputCount);
    std::span<GpioPin> outs(outputs, outputCount);
    if (!pairsInRange(ins, outs)) return false;
    if (!requestAll(ins, initGpioInput, {})) return false;
    if (!requestAll(outs, initGpioOutput, ins)) return false;

    bool result = true;
    for (GpioPin& input : ins) {
        GpioPin& output = outs[static_cast<size_t>(input.pairIndex)];
        if (followsBothLevels(input, output)) continue;
        PinText in = pinText(input);
        PinText out = pinText(output);
        logError("pylorn", "Pin test failed %s %s\n", in.name, out.name);
        result = false;
    }
    for (GpioPin& pin : ins) releasePin(pin);
    for (GpioPin& pin : outs) releasePin(pin);
    return result;
}
