#pragma once
// The relay follower's eight lines as gpioinfo shows them (tabs and blanks
// squeezed to one blank) while pylorn holds them on a gpio-sim chip.

#include <string>

namespace expect {

inline std::string heldRelayLines() {
    struct Line {
        int offset;
        const char* direction;
        const char* consumer;
    };
    const Line lines[] = {{3, "input", "in4"},   {4, "input", "in3"},   {5, "input", "in2"},    {6, "input", "in1"},
                          {8, "output", "rel1"}, {9, "output", "rel2"}, {10, "output", "rel3"}, {11, "output", "rel4"}};
    std::string out;
    for (const Line& l : lines)
        out += "gpiochip0 " + std::to_string(l.offset) + " unnamed " + l.direction + " consumer=" + l.consumer + "\n";
    return out;
}

}  // namespace expect
