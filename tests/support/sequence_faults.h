#pragma once
// corvane's fixed sequence under each board fault: the verdict that turns red
// and the entry that shows why, for every board that plays the fault. A row
// holds what all boards share; where the kernel board's real drivers show a
// fault differently, the row says so.

#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "expect.h"

namespace expect {

enum class Board { Namespace, Kernel };

struct SequenceFault {
    std::string fault;
    int failed;              // index of the verdict that turns FAILED
    std::string evidence;    // an entry that must appear
    std::string orEvidence;  // or this one ("" for none)
};

inline std::vector<SequenceFault> sequenceFaults(Board board) {
    const bool kernel = board == Board::Kernel;
    const std::string adc = "/sys/bus/iio/devices/iio:device0";
    return {
        // A veth pair takes both ends down; a pulled cable is seen at the NIC it is pulled at.
        {"eth-unplugged", 0,
         error("isEthActive", std::string("Iface [") + (kernel ? "eth1" : "eth0") + "] is not active\n"), ""},
        {"eth1-no-address", 0, "Executing [ping6 -I eth0 -c 2 -W 1  > /dev/null 2>&1]\n", ""},
        {"usb0-peer-down", 1, error("isEthActive", "Iface [usb0] is not active\n"), ""},
        {"usb-stick-missing", 2, error("openAndRead", "Failed to open [/run/media/usb0/testfile.txt] file\n"), ""},
        {"fixture-wrong", 2, error("testDisk", "Wrong test file content [TESTFILE]\n"), ""},
        {"fixture-short", 2, error("testDisk", "Wrong test file content size [4] != 8\n"), ""},
        {"rs485-silent", 3, error("executionWait", "Task timed-out\n"), ""},
        // The 16550A may end the read at its 8-byte interrupt, before the newline.
        {"rs485-garbled", 3, error("testPortThread", "Port content mismatch [9] [k2 34 56]\n"),
         kernel ? error("testPortThread", "Port content mismatch [8] [k2 34 56]\n") : ""},
        {"rs485-partial", 3, error("testPortThread", "Port content mismatch [4] [12 3]\n"), ""},
        {"adc-out-of-range", 4,
         error("checkAdcChannel", "ADC channel voltage out of range [" + adc + "/in_voltage0_raw] [2<=10<=3]\n"), ""},
        {"adc-scale-zero", 4, error("testAdc", "ADC incorrect scale [0] [0]\n"), ""},
        {"adc-missing", 4, error("openAndRead", "Failed to open [" + adc + "/in_voltage0_scale] file\n"), ""},
    };
}

// gtest shows a row by its fault.
inline void PrintTo(const SequenceFault& row, std::ostream* os) { *os << row.fault; }

// The test's name for a row: the fault with '_' for '-'.
inline std::string faultTestName(const ::testing::TestParamInfo<SequenceFault>& param) {
    std::string name = param.param.fault;
    for (char& ch : name) {
        if (ch == '-') ch = '_';
    }
    return name;
}

// The echo firmware's faults: how each ends the echo program, on every board.
struct EchoFault {
    std::string fault;
    bool oneCasePlan;  // quillon1; else quillon2
    int limitSeconds;  // run under timeout(1) with this limit; 0: none
    int status;
    std::string after;  // what follows the start-up lines
};

inline const std::string kEchoStartUp = "Starting tests!\r\nopen: 3\r\n/dev/ttyRPMSG successfully initialized\r\n";

// The command line of a row, given the two programs.
inline std::vector<std::string> echoFaultCommand(const EchoFault& row, const std::string& quillon2,
                                                 const std::string& quillon1) {
    std::vector<std::string> argv;
    if (row.limitSeconds > 0) argv = {"timeout", std::to_string(row.limitSeconds)};
    argv.push_back(row.oneCasePlan ? quillon1 : quillon2);
    return argv;
}

inline std::vector<EchoFault> echoFaults() {
    return {
        // Message 23 of the stream is message 3 of receive step 1 in test case 2.
        {"echo-corrupt=23", false, 0, 255, "Received bad message.\r\nReceive request (tc-step-loop) 2-1-3.\r\n"},
        {"echo-short=2", true, 0, 255,
         "Receiving message was unsuccessful.\r\nReceive request (tc-step-loop) 1-1-2.\r\n"},
        // Still waiting in its first read when the time limit ends it.
        {"echo-silent", false, 1, 124, ""},
    };
}

}  // namespace expect
