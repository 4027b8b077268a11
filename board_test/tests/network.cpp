#include "network.h"

#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "../log/log.h"

namespace {

// A well-known anycast DNS resolver: always reachable when the port has Internet.
constexpr const char* kInternetHost = "8.8.8.8";
constexpr int kHostBytes = 64;
// Alias and VLAN interfaces (eth0.5, eth0:1) count as their port.
constexpr size_t kNameMatch = 4;

// Frees the libc interface list on every path out of the loop test.
struct IfAddrList {
    ifaddrs* head = nullptr;
    IfAddrList() = default;
    IfAddrList(const IfAddrList&) = delete;
    IfAddrList& operator=(const IfAddrList&) = delete;
    ~IfAddrList() {
        if (head != nullptr) freeifaddrs(head);
    }
};

// Numeric IPv6 host text of an entry, without its "%scope" suffix.
bool hostText(const ifaddrs* entry, char* host) {
    if (getnameinfo(entry->ifa_addr, sizeof(sockaddr_in6), host, kHostBytes, nullptr, 0, NI_NUMERICHOST) != 0) {
        logErrorLine("testEthLoop", "Can't obtain ifname");
        return false;
    }
    char* scope = strchr(host, '%');
    if (scope != nullptr) *scope = '\0';
    return true;
}

bool pingFrom(const char* iface, const char* address) {
    char command[128] = {};
    if (!formatCommand(command, "testEthLoop", "ping6 -I %s -c 2 -W 1 %s > /dev/null 2>&1", iface, address))
        return false;
    logInfo("testEthLoop", "Executing [%s]\n", command);
    return runShell(command);
}

}  // namespace

bool isEthActive(const char* iface) {
    if (!checkShellWord("isEthActive", iface)) return false;
    char command[128] = {};
    if (!formatCommand(command, "isEthActive", "ip link show %s |  grep \"state UP\" > /dev/null", iface)) return false;
    logInfo("isEthActive", "Executing [%s]\n", command);
    if (runShell(command)) return true;
    logError("isEthActive", "Iface [%s] is not active\n", iface);
    return false;
}

bool testEth(const char* iface) {
    logInfo("testEth", "Testing [%s] intereface\n", iface);
    if (!isEthActive(iface)) return false;
    char command[128] = {};
    if (!formatCommand(command, "testEth", "ping -I %s -c 2 %s > /dev/null", iface, kInternetHost)) return false;
    logInfo("testEth", "Executing [%s]\n", command);
    return runShell(command);
}

bool testUsbOtg(const char* iface) {
    logInfo("testUsbOtg", "Testing [%s] intereface\n", iface);
    return isEthActive(iface);
}

bool testEthLoop(const char* first, const char* second) {
    logInfo("testEthLoop", "Testing [%s] [%s] loop interefaces\n", first, second);
    if (!isEthActive(first)) return false;
    if (!isEthActive(second)) return false;

    char firstHost[kHostBytes] = {};
    char secondHost[kHostBytes] = {};
    IfAddrList list;
    if (getifaddrs(&list.head) == -1) {
        logErrorLine("testEthLoop", "Can't obtain ifaddr");
        return false;
    }
    for (const ifaddrs* entry = list.head; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET6) continue;
        if (strncmp(entry->ifa_name, first, kNameMatch) == 0 && !hostText(entry, firstHost)) return false;
        if (strncmp(entry->ifa_name, second, kNameMatch) == 0 && !hostText(entry, secondHost)) return false;
    }
    // Each port's address is pinged out through the other port; both always run.
    bool firstReached = pingFrom(second, firstHost);
    bool secondReached = pingFrom(first, secondHost);
    return firstReached && secondReached;
}
