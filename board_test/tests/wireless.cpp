#include "wireless.h"

#include "../log/log.h"

bool isWlan(const char* iface) {
    logInfo("isWlan", "Checking wlan [%s] presence\n", iface);
    if (!checkShellWord("isWlan", iface)) return false;
    char command[128] = {};
    if (!formatCommand(command, "isWlan", "ip a | grep %s > /dev/null", iface)) return false;
    return runShell(command);
}

bool testWlan(const char* iface) {
    logInfo("testWlan", "Searching SSID [zelmo4] on [%s] interface\n", iface);
    if (!checkShellWord("testWlan", iface)) return false;
    char command[128] = {};
    if (!formatCommand(command, "testWlan", "iw dev %s scan | grep zelmo4 > /dev/null", iface)) return false;
    if (runShell(command)) return true;
    logError("testWlan", "SSID [zelmo4] on [%s] interface not found\n", iface);
    return false;
}

bool testBluetooth() {
    logInfoLine("testBluetooth", "Searching [hci0] device");
    if (!runShell("hcitool dev | grep hci0 > /dev/null")) {
        logErrorLine("testBluetooth", "Bluetooth [hci0] device not found");
        return false;
    }
    if (!runShell("bluetoothctl -- discoverable on > /dev/null")) {
        logErrorLine("testBluetooth", "System call [bluetoothctl -- discoverable on] error");
        return false;
    }
    if (!runShell("bluetoothctl -- pairable on > /dev/null")) {
        logErrorLine("testBluetooth", "System call [bluetoothctl -- pairable on] error");
        return false;
    }
    return true;
}
