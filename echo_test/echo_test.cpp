// Companion-core echo test: sends runs of fixed-pattern messages through the
// RPMsg serial device, reads back what the companion-core firmware returns and
// reports the first send, receive or content failure.
//
// One source, two programs: ECHO_TEST_CASES (1 or 2) picks the test plan.

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>

#if !defined(ECHO_TEST_CASES) || (ECHO_TEST_CASES != 1 && ECHO_TEST_CASES != 2)
#error "ECHO_TEST_CASES must be 1 or 2"
#endif

namespace {

constexpr const char* kPortPath = "/dev/ttyRPMSG";
constexpr int32_t kMessageBytes = 45;
#if ECHO_TEST_CASES == 2
constexpr int32_t kMessagesPerStep = 10;
#else
constexpr int32_t kMessagesPerStep = 12;
#endif

using MessageBuffer = std::array<unsigned char, kMessageBytes>;

// Read from the device, changed and written back once when the port opens.
termios portSettings;

void reportPortError(int value) { printf("error %d\r\n", value); }

// Closes the port on every way out of the scope that owns it.
struct PortHandle {
    int fd;
    explicit PortHandle(int f) : fd(f) {}
    PortHandle(const PortHandle&) = delete;
    PortHandle& operator=(const PortHandle&) = delete;
    ~PortHandle();
    int release() {
        int f = fd;
        fd = -1;
        return f;
    }
};

}  // namespace

int checkMessage(std::span<const unsigned char> buffer, int32_t expected, int32_t length);
int openRpmsgPort();
void closeRpmsgPort(int fd);
int sendMessages(int fd, int32_t testCase, int32_t step, int32_t count, int32_t length);
int receiveMessages(int fd, int32_t testCase, int32_t step, int32_t count, int32_t length);

PortHandle::~PortHandle() {
    if (fd >= 0) closeRpmsgPort(fd);
}

int checkMessage(std::span<const unsigned char> buffer, int32_t expected, int32_t length) {
    const auto value = static_cast<unsigned char>(expected & 0xFF);
    for (int32_t i = 0; i < length; ++i) {
        if (static_cast<size_t>(i) >= buffer.size() || buffer[static_cast<size_t>(i)] != value) return -1;
    }
    return 0;
}

int openRpmsgPort() {
    puts("Starting tests!\r");
    // Blocking on purpose: every read waits until the firmware has answered.
    PortHandle port(open(kPortPath, O_RDWR | O_NOCTTY));
    if (port.fd < 0) {
        reportPortError(port.fd);
        return -1;
    }
    printf("open: %d\r\n", port.fd);
    // Echoes left over from an interrupted run must not count as answers.
    tcflush(port.fd, TCIOFLUSH);
    if (tcgetattr(port.fd, &portSettings) != 0) {
        reportPortError(port.fd);
        return -1;
    }
    cfmakeraw(&portSettings);
    cfsetospeed(&portSettings, B115200);
    cfsetispeed(&portSettings, B115200);
    if (tcsetattr(port.fd, TCSANOW, &portSettings) != 0) {
        reportPortError(port.fd);
        return -1;
    }
    return port.release();
}

void closeRpmsgPort(int fd) { close(fd); }

int sendMessages(int fd, int32_t testCase, int32_t step, int32_t count, int32_t length) {
    MessageBuffer buffer;
    buffer.fill(0xFF);
    for (int32_t i = 0; i < count; ++i) {
        buffer.fill(static_cast<unsigned char>(i & 0xFF));
        // One write per message; a short one is a failure, never completed.
        ssize_t written =
            length >= 0 && length <= kMessageBytes ? write(fd, buffer.data(), static_cast<size_t>(length)) : -1;
        if (written != length) {
            printf("Sending message was unsuccessful.\r\nSend request (tc-step-loop) %d-%d-%d.\r\n", testCase, step, i);
            return -1;
        }
    }
    return 0;
}

int receiveMessages(int fd, int32_t testCase, int32_t step, int32_t count, int32_t length) {
    MessageBuffer buffer;
    buffer.fill(0xFF);
    for (int32_t i = 0; i < count; ++i) {
        // One read per message: an echo that has only partly arrived is a failure.
        ssize_t got =
            length >= 0 && length <= kMessageBytes ? read(fd, buffer.data(), static_cast<size_t>(length)) : -1;
        if (got != length) {
            printf("Receiving message was unsuccessful.\r\nReceive request (tc-step-loop) %d-%d-%d.\r\n", testCase,
                   step, i);
            return -1;
        }
        if (checkMessage(buffer, i, length) == -1) {
            printf("Received bad message.\r\nReceive request (tc-step-loop) %d-%d-%d.\r\n", testCase, step, i);
            return -1;
        }
    }
    return 0;
}

#if ECHO_TEST_CASES == 2

// Both send steps go out before the first echo is read back.
int runTestCase(int fd, int32_t testCase) {
    int result = sendMessages(fd, testCase, 1, kMessagesPerStep, kMessageBytes);
    if (result != 0) return result;
    result = sendMessages(fd, testCase, 2, kMessagesPerStep, kMessageBytes);
    if (result != 0) return result;
    result = receiveMessages(fd, testCase, 1, kMessagesPerStep, kMessageBytes);
    if (result != 0) return result;
    return receiveMessages(fd, testCase, 2, kMessagesPerStep, kMessageBytes);
}

int runPlan(int fd) {
    int result = runTestCase(fd, 1);
    if (result == 0) result = runTestCase(fd, 2);
    return result;
}

#else

int runTestCase(int fd) {
    int result = sendMessages(fd, 1, 1, kMessagesPerStep, kMessageBytes);
    if (result != 0) return result;
    return receiveMessages(fd, 1, 1, kMessagesPerStep, kMessageBytes);
}

int runPlan(int fd) { return runTestCase(fd); }

#endif

int main() {
    // Every line reaches the console at once, so an operator who stops a
    // program waiting for the firmware still sees how far it got.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    PortHandle port(openRpmsgPort());
    if (port.fd < 0) return port.fd;
    puts("/dev/ttyRPMSG successfully initialized\r");
    return runPlan(port.fd);
}
