#pragma once
// Button test: the operator presses and releases each button of a list in turn.

#include <cstdint>
#include <span>

struct ButtonDef {
    const char* eventPath;   // input event device that reports the button
    const char* buttonName;  // shown to the operator and in the log
    int32_t keyCode;
};

// Tests the buttons one after another; true when all passed or the list is empty.
bool executeAndWait(const ButtonDef* buttons, int32_t count);
// Worker for one button: its argument is the TaskSlot whose target is the ButtonDef.
void* testKeyThread(void* slot);

// What one read of an event device gave, for the judging of a press or release.
struct KeyEvent {
    bool whole;     // a whole record was read
    uint16_t code;  // 0 unless whole: a short read counts as a zeroed record
    int32_t value;
};

// Pure decoding of the bytes one read returned, shared with the fuzz targets.
KeyEvent decodeKeyRecord(std::span<const unsigned char> bytes);
// The record is whole and carries keyCode with the given value (1 press, 0 release).
bool isKeyEvent(const KeyEvent& event, int32_t keyCode, int32_t value);
