#pragma once
// Expected console-log bytes, built the way an operator's script would match them.

#include <string>

namespace expect {

inline std::string info(const std::string& name, const std::string& message) {
    return "\033[0mLOG: " + name + " " + message;
}

inline std::string error(const std::string& name, const std::string& message) {
    return "\033[31mERR: " + name + " " + message + "\033[0m";
}

inline std::string verdict(const std::string& label, bool passed) {
    return label + (passed ? "\033[32mOK\n\033[0m" : "\033[31mFAILED\n\033[0m");
}

}  // namespace expect
