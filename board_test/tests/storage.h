#pragma once
// Storage fixture and sysfs value tests (USB stick, ADC, temperature).

#include <cstddef>
#include <cstdint>

bool testDisk(const char* directory);
bool testAdc(const char* device, int32_t channelCount, int32_t lower, int32_t upper);
bool checkAdcChannel(const char* rawPath, int32_t lower, int32_t upper, float scale);
bool testTemperature(const char* path, int32_t lower, int32_t upper);

// Pure parsing and conversion, shared with the fuzz targets.
// Cuts text at count - 1 (the sysfs newline) and parses it as a double
// narrowed to float; count must be at least 1 and text count bytes long.
float parseAdcText(char* text, size_t count);
// Stores a terminator at count and parses a base-10 integer narrowed to 32 bits.
int32_t parseTemperatureText(char* text, size_t count);
// Float to int32 the way an AArch64 FCVTZS does it: truncation toward zero,
// NaN gives 0, values outside the range saturate. A bare cast is undefined there.
int32_t toInt32Saturated(float value);
