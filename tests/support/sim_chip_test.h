#pragma once
// A test with a simulated GPIO chip of its own: 16 free lines at
// /dev/gpiochip0, its state in a scratch directory, attached for the test's
// checks; programs (this test program too) start under it.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "core/process.h"
#include "isolated.h"
#include "sim_chip.h"
#include "sim_env.h"

class SimChipTest : public testing::Test {
protected:
    void SetUp() override {
        state = dir.path + "/chip";
        ASSERT_TRUE(simCreate(state.c_str(), "/dev/gpiochip0", 16)) << strerror(errno);
        ASSERT_TRUE(simAttach(state.c_str(), session)) << strerror(errno);
    }
    void TearDown() override { simDetach(session); }

    // Starts argv with the chip's preload, both streams captured.
    bool startUnderChip(testbed::Process& p, const std::vector<std::string>& argv) {
        return testbed::start(p, argv, simOptions(KIT_GPIOSIM, state.c_str()));
    }
    // Starts this test program again under the chip, with args.
    bool startSelf(testbed::Process& p, const std::vector<std::string>& args) {
        char self[PATH_MAX] = {};
        if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return false;
        std::vector<std::string> argv{self};
        argv.insert(argv.end(), args.begin(), args.end());
        return startUnderChip(p, argv);
    }

    TempDir dir;
    std::string state;
    SimSession session;
};
