#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "child_checks.h"
#include "expect.h"
#include "isolated.h"
#include "skip.h"
#include "stand_ins.h"
#include "tests/network.h"

using testbed::must;

namespace {

constexpr unsigned kNs = kMountNs | kNetNs;
const std::string kEth0Addr = "fe80::ff:fe00:1";
const std::string kEth1Addr = "fe80::ff:fe00:2";

// Waits (bounded) until a shell condition holds, inside the child.
void waitUntil(const char* condition) {
    for (int i = 0; i < 200; ++i) {
        if (system(condition) == 0) return;
        usleep(10000);
    }
    must("%s", condition);
}

// The board's cable between the two Ethernet ports, with fixed MACs so
// the link-local addresses are known.
void cable() {
    testbed::ethernetCable();
    waitUntil("ip -6 addr show eth1 | grep -q fe80 && ip -6 addr show eth0 | grep -q fe80");
}

std::string linkCheck(const std::string& iface) {
    return expect::info("isEthActive", "Executing [ip link show " + iface + " |  grep \"state UP\" > /dev/null]\n");
}

std::string notActive(const std::string& iface) {
    return expect::error("isEthActive", "Iface [" + iface + "] is not active\n");
}

std::string ping6(const std::string& iface, const std::string& addr) {
    return expect::info("testEthLoop", "Executing [ping6 -I " + iface + " -c 2 -W 1 " + addr + " > /dev/null 2>&1]\n");
}

std::string loopHeader() { return expect::info("testEthLoop", "Testing [eth0] [eth1] loop interefaces\n"); }

long counter(const char* iface, const char* name) {
    std::string text = testbed::readFile(std::string("/sys/class/net/") + iface + "/statistics/" + name);
    return atol(text.c_str());
}

}  // namespace

TEST(EthLoop, CabledPortsPingEachOtherAcrossThePair) {
    auto r = runIsolated(kNs, [] {
        cable();
        long before = counter("eth0", "rx_packets");
        ChildChecks checks;
        checks.check(testEthLoop("eth0", "eth1"), "the loop test passes");
        // Echo requests from eth1 and replies to eth0's pings both arrive on eth0.
        checks.check(counter("eth0", "rx_packets") - before >= 4, "at least 4 packets reached eth0");
        return checks.exitCode();
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, loopHeader() + linkCheck("eth0") + linkCheck("eth1") + ping6("eth1", kEth0Addr) +
                         ping6("eth0", kEth1Addr));
}

TEST(EthLoop, InactiveFirstPortFailsWithoutCheckingTheSecond) {
    auto r = runIsolated(kNs, [] {
        must("ip link add eth0 type veth peer name eth1 && ip link set eth1 up");
        return testEthLoop("eth0", "eth1") ? 1 : 0;
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, loopHeader() + linkCheck("eth0") + notActive("eth0"));
}

TEST(EthLoop, InactiveSecondPortFailsBeforeAnyPing) {
    auto r = runIsolated(kNs, [] {
        must("ip link add eth0 type veth peer name peer0 && ip link set eth0 up && ip link set peer0 up");
        must("ip link add eth1 type veth peer name peer1");
        return testEthLoop("eth0", "eth1") ? 1 : 0;
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, loopHeader() + linkCheck("eth0") + linkCheck("eth1") + notActive("eth1"));
}

TEST(EthLoop, PortWithoutIpv6AddressLeavesAnEmptyTargetAndBothPingsStillRun) {
    auto r = runIsolated(kNs, [] {
        testbed::ethernetCable(true, false);
        waitUntil("ip -6 addr show eth0 | grep -q fe80");
        return testEthLoop("eth0", "eth1") ? 1 : 0;
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out,
              loopHeader() + linkCheck("eth0") + linkCheck("eth1") + ping6("eth1", kEth0Addr) + ping6("eth0", ""));
}

TEST(EthLoop, AliasOfThePortLaterInTheListGivesTheAddressThatIsPinged) {
    auto r = runIsolated(kNs, [] {
        cable();
        must(
            "ip link add eth0.5 address 02:00:00:00:00:05 type veth peer name peer5 && ip link set eth0.5 up "
            "&& ip link set peer5 up");
        waitUntil("ip -6 addr show eth0.5 | grep -q fe80");
        return testEthLoop("eth0", "eth1") ? 1 : 0;
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, loopHeader() + linkCheck("eth0") + linkCheck("eth1") + ping6("eth1", "fe80::ff:fe00:5") +
                         ping6("eth0", kEth1Addr));
}

TEST(EthLoop, NameThatWouldChangeTheShellCommandIsRefused) {
    auto r = runIsolated(kNs, [] {
        cable();
        return testEthLoop("eth0;touch /tmp/x", "eth1") ? 1 : 0;
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, expect::info("testEthLoop", "Testing [eth0;touch /tmp/x] [eth1] loop interefaces\n") +
                         expect::error("isEthActive", "Unsafe name refused [eth0;touch /tmp/x]\n"));
}

TEST(UsbOtg, LinkUpPassesAndLinkDownReportsInactive) {
    auto r = runIsolated(kNs, [] {
        must("ip link add usb0 type veth peer name host0 && ip link set usb0 up && ip link set host0 up");
        must("ip link add usb1 type veth peer name host1");
        ChildChecks checks;
        checks.check(testUsbOtg("usb0"), "a link that is up passes");
        checks.check(!testUsbOtg("usb1"), "a link that is down fails");
        return checks.exitCode();
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, expect::info("testUsbOtg", "Testing [usb0] intereface\n") + linkCheck("usb0") +
                         expect::info("testUsbOtg", "Testing [usb1] intereface\n") + linkCheck("usb1") +
                         notActive("usb1"));
}

TEST(EthInternet, NoRouteFailsWithoutAnErrorEntry) {
    auto r = runIsolated(kNs, [] {
        cable();
        return testEth("eth0") ? 1 : 0;
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, expect::info("testEth", "Testing [eth0] intereface\n") + linkCheck("eth0") +
                         expect::info("testEth", "Executing [ping -I eth0 -c 2 8.8.8.8 > /dev/null]\n"));
}

TEST(EthInternet, PingThroughThePortDecidesTheResult) {
    StandIns tools;
    auto r = runIsolated(kNs, [&] {
        cable();
        tools.install({"ping"});
        ChildChecks checks;
        checks.check(testEth("eth0"), "a ping that gets through passes");
        setenv("KIT_PING_STATUS", "1", 1);
        checks.check(!testEth("eth0"), "a lost ping fails");
        return checks.exitCode();
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(tools.calls(), "ping -I eth0 -c 2 8.8.8.8\nping -I eth0 -c 2 8.8.8.8\n");
}
