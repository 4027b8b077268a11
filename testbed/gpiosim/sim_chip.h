#pragma once
// The simulated GPIO chip's state: one memory-mapped file shared by every
// process that uses the chip (the preloaded programs, the control tool and
// the tests), plus a FIFO beside it whose open descriptors are the line
// handles. A line is held while an open-file-description lock on the byte at
// its offset is held on such a descriptor, so the kernel releases it when the
// last copy of the handle is closed, also when its process dies.

#include <cstdint>

inline constexpr uint32_t kSimMaxLines = 64;
inline constexpr uint32_t kSimNameSize = 32;
inline constexpr uint32_t kSimPathSize = 64;
// A character-device major that no driver on the build machines uses.
inline constexpr unsigned kSimMajor = 3666;
inline constexpr unsigned kSimMinor = 0;

enum SimDirection : uint8_t { kSimInput = 0, kSimOutput = 1 };

// Every field is read and written through std::atomic_ref: several processes
// share this memory.
struct SimLine {
    uint8_t direction;            // SimDirection; kept when the line is released, as the kernel does
    uint8_t driven;               // level the line drives (last one, once released)
    uint8_t external;             // level of an unwired input, set from outside
    uint8_t failReads;            // non-zero: reads of this line fail with EIO
    int16_t wiredFrom;            // offset of the output wired to this input, -1 for none
    char consumer[kSimNameSize];  // label of the current (or last) request
};

struct SimChip {
    uint32_t magic;
    uint32_t numLines;
    char path[kSimPathSize];  // device path the chip appears at, e.g. /dev/gpiochip0
    uint32_t chipOpens;       // opens of the device path, for tests
    uint32_t lineRequests;    // granted line requests, for tests
    SimLine lines[kSimMaxLines];
};

// A process's view of one simulated chip.
struct SimSession {
    SimChip* chip = nullptr;
    char lockPath[kSimPathSize + 200] = {};  // the FIFO whose descriptors are line handles
};

// Creates (or replaces) the state file and its FIFO: numLines free inputs at
// level 0, nothing wired. False with errno set on failure.
bool simCreate(const char* statePath, const char* chipPath, uint32_t numLines);
// Maps an existing state file. False with errno set on failure.
bool simAttach(const char* statePath, SimSession& session);
void simDetach(SimSession& session);

// Outside controls. False (errno EINVAL) for an offset that is not on the chip.
bool simWire(SimSession& session, uint32_t output, uint32_t input);
bool simUnwire(SimSession& session, uint32_t input);
bool simSetExternal(SimSession& session, uint32_t input, int level);
bool simSetFailReads(SimSession& session, uint32_t input, bool fail);

// Level seen on the line: an output's driven level; an input's wired output
// level when the wired line is an output, otherwise its external level.
int simLevel(const SimSession& session, uint32_t offset);
// Level the line drives (or drove last), whatever its direction now.
int simDriven(const SimSession& session, uint32_t offset);
SimDirection simDirection(const SimSession& session, uint32_t offset);
int simWiredFrom(const SimSession& session, uint32_t input);  // -1 for none
bool simFailsReads(const SimSession& session, uint32_t input);
// True while some handle holds the line; a consumer name is copied when held.
bool simIsHeld(const SimSession& session, uint32_t offset, char (*consumer)[kSimNameSize] = nullptr);

// One line of a request: its offset, direction and (outputs) starting level.
struct SimLineRequest {
    uint32_t offset;
    SimDirection direction;
    uint8_t value;
};

// Requests the lines as the kernel does: all or none. Returns the new
// handle (a close-on-exec descriptor) or -1 with errno: EINVAL for a bad
// count or offset, EBUSY when a line is held (also by this same request).
int simRequest(SimSession& session, const SimLineRequest* lines, uint32_t count, const char* consumer);
// Reads the line (EIO when it is told to fail) or drives it (EPERM on an input).
int simRead(SimSession& session, uint32_t offset, int& level);
int simDrive(SimSession& session, uint32_t offset, int level);

// Counters for tests: opens of the device path and granted line requests.
void simNoteChipOpen(SimSession& session);
uint32_t simChipOpens(const SimSession& session);
uint32_t simLineRequests(const SimSession& session);
