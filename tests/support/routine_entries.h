#pragma once
// Entries of corvane's callable routines that more than one test expects:
// the shell runner's, the radio routines' and the CAN routines' command
// lines, and the relay follower's one error line.

#include <string>

#include "expect.h"

namespace expect {

inline std::string calling(const std::string& command) { return info("systemCall", "Calling [" + command + "]\n"); }
inline std::string callFailed(const std::string& command) {
    return error("systemCall", "System call [" + command + "] failed\n");
}

inline std::string wlanPresence(const std::string& iface) {
    return info("isWlan", "Checking wlan [" + iface + "] presence\n");
}
inline std::string ssidSearch(const std::string& iface) {
    return info("testWlan", "Searching SSID [zelmo4] on [" + iface + "] interface\n");
}
inline std::string ssidNotFound(const std::string& iface) {
    return error("testWlan", "SSID [zelmo4] on [" + iface + "] interface not found\n");
}
inline const std::string kSearchingHci0 = info("testBluetooth", "Searching [hci0] device\n");

// The command lines of testCanLoop(rx, tx) and testCan(iface).
inline std::string canStateCheck(const std::string& iface) {
    return "cat /sys/class/net/" + iface + "/operstate | grep up > /dev/null";
}
inline const std::string kCanRemove = "rm -f canfile";
inline std::string canCapture(const std::string& rx) { return "candump " + rx + " -n 1 > canfile &"; }
inline std::string canGenerate(const std::string& tx) { return "cangen " + tx + " -D 11223344AABBCCDD -L 8 -n 1"; }
inline const std::string kCanCompare = "cat canfile | grep \"11 22 33 44 AA BB CC DD\" > /dev/null";
inline std::string canSend(const std::string& iface) { return "cansend " + iface + " 123#123456"; }
inline std::string canListen(const std::string& iface) {
    return "candump " + iface + " -T 1500 | grep \"12 34 56\" > /dev/null";
}

// pylorn's line when a request fails, with the system's reason.
inline std::string relayRequestFailed(const std::string& reason) { return "failed to request line: " + reason + "\n"; }

}  // namespace expect
