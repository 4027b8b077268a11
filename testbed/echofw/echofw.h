#pragma once
// Echo firmware stand-in: the far end of the companion-core message channel,
// played on the master side of a pseudo-terminal. It returns every message
// unchanged and in order unless told to misbehave.
//
// Messages are numbered from 0 in the order echofw receives them, counting
// whole messages since it started. For the two-case
// plan (10 per step, both send steps before the reads) message k of receive
// step s in test case c is number (c-1)*20 + (s-1)*10 + k; for the one-case
// plan (12 per step) it is k.

#include <termios.h>

#include <array>
#include <cstdint>
#include <span>

namespace echofw {

// Every message of both plans is this long.
constexpr int32_t kMessageBytes = 45;
constexpr int32_t kMaxStaleBytes = 4000;  // fits the line discipline's buffer
constexpr int32_t kMaxFaults = 16;
constexpr unsigned char kStaleByte = 0xA5;

enum class FaultKind { Corrupt, Drop, Split };

struct Fault {
    FaultKind kind;
    int32_t message;
    int32_t arg;  // Corrupt: byte position; Split: bytes in the first piece
};

struct Config {
    char link[256] = {};  // symlink made to the port; empty: none
    // A real serial channel instead of a pseudo-terminal: the firmware's own
    // end (device) and the program's end (watch), opened only to read its
    // settings and to see whether it still holds unread bytes.
    char device[256] = {};
    char watch[256] = {};
    int32_t staleBytes = 0;
    bool silent = false;
    std::array<Fault, kMaxFaults> faults{};
    int32_t faultCount = 0;
};

// Parses the command line (without the program name). On failure error holds
// the reason and the result is false.
bool parseArgs(std::span<const char* const> args, Config& config, std::span<char> error);

// What to send back for one message: nothing, or the (possibly changed)
// bytes of data with the first piece written on its own when it is shorter.
struct EchoShape {
    bool send;
    int32_t firstPiece;
};
EchoShape shapeEcho(const Config& config, int32_t message, std::span<unsigned char> data);

// True when the port was set up as the programs must: raw at 115200 baud.
// speedHeld false: a tty whose driver keeps no line speed, checked for raw only.
bool isRawAt115200(const termios& settings, bool speedHeld);

// The usage text.
const char* usage();

// Runs the stand-in until SIGTERM, SIGINT or SIGHUP: makes the port, writes
// the stale bytes, publishes the port, prints "ready <slave path>" and then
// "rx <n>" for each whole message received. Returns the exit status.
int run(const Config& config);

}  // namespace echofw
