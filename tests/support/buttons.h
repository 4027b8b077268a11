#pragma once
// What the button routine prints: its start entry, its blue prompts (each
// followed by the colour reset), its wrong-code error and its time-out.

#include <string>

#include "expect.h"

namespace expect {

inline std::string buttonStarted(const std::string& name, const std::string& path, int code) {
    return info("testKeyThread", "Button test [" + name + "] [" + path + "] [" + std::to_string(code) + "]\n");
}
inline std::string pressPrompt(const std::string& name) { return "\033[34mPress [" + name + "] button ... \033[0m"; }
inline std::string releasePrompt(const std::string& name) { return "\033[34mRelease [" + name + "] button\n\033[0m"; }
inline std::string wrongButton(int got, int want) {
    return error("testKeyThread",
                 "Wrong button code [" + std::to_string(got) + "] != [" + std::to_string(want) + "]\n");
}
// A time-out ends the prompt's line first.
inline const std::string kButtonTimedOut = "\n" + error("executeAndWait", "Task timed-out\n");

}  // namespace expect
