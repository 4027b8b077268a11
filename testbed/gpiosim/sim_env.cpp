#include "sim_env.h"

#include <cstring>

extern char** environ;

namespace {

bool startsWith(const char* text, const char* prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

}  // namespace

std::vector<std::string> simEnvironment(const char* preload, const char* statePath) {
    std::vector<std::string> env;
    std::string preloads = preload;
    std::string asan = "verify_asan_link_order=0";
    for (char** e = environ; *e != nullptr; ++e) {
        if (startsWith(*e, "LD_PRELOAD=")) {
            if ((*e)[11] != '\0') preloads += std::string(":") + (*e + 11);
        } else if (startsWith(*e, "ASAN_OPTIONS=")) {
            asan = std::string(*e + 13) + ":" + asan;
        } else if (!startsWith(*e, "GPIOSIM_STATE=")) {
            env.emplace_back(*e);
        }
    }
    env.push_back("LD_PRELOAD=" + preloads);
    env.push_back("ASAN_OPTIONS=" + asan);
    env.push_back(std::string("GPIOSIM_STATE=") + statePath);
    return env;
}

testbed::StartOptions simOptions(const char* preload, const char* statePath) {
    testbed::StartOptions options;
    options.captureOut = true;
    options.captureErr = true;
    options.env = simEnvironment(preload, statePath);
    return options;
}
