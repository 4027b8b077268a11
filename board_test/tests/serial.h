#pragma once
// Serial port tests: one port hearing itself, and ports wired to one another.

#include <cstddef>
#include <cstdint>

struct TaskSlot;

bool testPortPing(const char* port);
bool testPort(const char* const* ports, uint64_t count);
// Reader worker: its argument is the TaskSlot whose target holds the port path's address.
void* testPortThread(void* slot);

// Pure checks of what one read returned, shared with the fuzz targets.
// Cuts buffer (n bytes read, zero after them) at its last newline.
void cutAtLastNewline(char* buffer, int32_t n);
// The reader passes with at least 8 bytes read that begin with the probe text.
bool isProbeEcho(const char* buffer, int32_t n);
