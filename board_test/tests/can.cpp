#include "can.h"

#include "../log/log.h"

// The CAN tests log nothing of their own: systemCall's entries are their whole
// log, so a refused name or an over-long line is reported under systemCall too.

bool testCan(const char* iface) {
    if (!checkShellWord("systemCall", iface)) return false;
    char command[128] = {};
    if (!formatCommand(command, "systemCall", "cansend %s 123#123456", iface)) return false;
    if (!systemCall(command)) return false;
    if (!formatCommand(command, "systemCall", "candump %s -T 1500 | grep \"12 34 56\" > /dev/null", iface))
        return false;
    return systemCall(command);
}

bool testCanLoop(const char* receiver, const char* sender) {
    if (!checkShellWord("systemCall", receiver) || !checkShellWord("systemCall", sender)) return false;
    char command[128] = {};
    if (!formatCommand(command, "systemCall", "cat /sys/class/net/%s/operstate | grep up > /dev/null", receiver) ||
        !systemCall(command))
        return false;
    if (!formatCommand(command, "systemCall", "cat /sys/class/net/%s/operstate | grep up > /dev/null", sender) ||
        !systemCall(command))
        return false;
    if (!systemCall("rm -f canfile")) return false;
    // Ends by itself after one frame; in the background so that it already
    // listens when the frame is generated.
    if (!formatCommand(command, "systemCall", "candump %s -n 1 > canfile &", receiver) || !systemCall(command))
        return false;
    if (!formatCommand(command, "systemCall", "cangen %s -D 11223344AABBCCDD -L 8 -n 1", sender) ||
        !systemCall(command))
        return false;
    // A capture that lacks the payload stays behind for the operator to read.
    if (!systemCall("cat canfile | grep \"11 22 33 44 AA BB CC DD\" > /dev/null")) return false;
    return systemCall("rm -f canfile");
}
