#pragma once
// RTC test: driver name, a running clock and, when asked, the wake-alarm interrupt.

#include <cstddef>
#include <cstdint>

bool testRtc(const char* device, const char* expectedName, bool alarm, int32_t irq);

// Pure parsing, shared with the fuzz targets.
// The first count bytes of content begin with expected (a prefix match).
bool isRtcNamePrefix(const char* content, size_t count, const char* expected);
// Takes the first number of a per-CPU interrupt count list ("%d," as sscanf
// reads it) into count, which is 0 when the text is empty or white space.
// False when the text does not begin, after white space, with a number.
// A number beyond 32 bits keeps its low 32 bits, as the board's scanf does.
bool parseIrqCount(const char* text, int32_t& count);
