#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "child_checks.h"
#include "core/isolate.h"
#include "expect.h"
#include "skip.h"
#include "stand_ins.h"
#include "tests/wireless.h"

using testbed::must;

namespace {

// The radio stand-ins first in PATH, their state directory and argument log.
struct Radio : StandIns {
    void install() const { StandIns::install({"iw", "hcitool", "bluetoothctl"}, "KIT_RADIO_DIR"); }
    std::string file(const std::string& name) const { return state.path + "/" + name; }
};

std::string scanning(const std::string& iface) {
    return expect::info("testWlan", "Searching SSID [zelmo4] on [" + iface + "] interface\n");
}

std::string ssidNotFound(const std::string& iface) {
    return expect::error("testWlan", "SSID [zelmo4] on [" + iface + "] interface not found\n");
}

const std::string kSearching = expect::info("testBluetooth", "Searching [hci0] device\n");

}  // namespace

TEST(WlanPresence, NameInTheAddressListingPassesWithoutRunningAnyRadioTool) {
    Radio radio;
    auto r = testbed::runIsolated(testbed::kMountNs | testbed::kNetNs, [&] {
        radio.install();
        must("ip tuntap add wlan0 mode tap");
        return isWlan("wlan0") ? 0 : 1;
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, expect::info("isWlan", "Checking wlan [wlan0] presence\n"));
    EXPECT_EQ(radio.calls(), "");
}

TEST(WlanPresence, NameInsideALongerInterfaceNameCountsAsPresent) {
    auto r = testbed::runIsolated(testbed::kMountNs | testbed::kNetNs, [] {
        must("ip link add xwlan1x type veth peer name peer0");
        return isWlan("wlan1") ? 0 : 1;
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, expect::info("isWlan", "Checking wlan [wlan1] presence\n"));
}

TEST(WlanPresence, AbsentNameFailsWithoutAnErrorEntry) {
    auto r = testbed::runIsolated(testbed::kMountNs | testbed::kNetNs, [] {
        must("ip link add eth0 type veth peer name eth1");
        return isWlan("wlan0") ? 1 : 0;
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, expect::info("isWlan", "Checking wlan [wlan0] presence\n"));
}

TEST(WlanPresence, NameThatWouldChangeTheShellCommandIsRefused) {
    auto r = testbed::runIsolated(testbed::kMountNs | testbed::kNetNs, [] { return isWlan("lo; true") ? 1 : 0; });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, expect::info("isWlan", "Checking wlan [lo; true] presence\n") +
                         expect::error("isWlan", "Unsafe name refused [lo; true]\n"));
}

TEST(WlanScan, SsidInRangePassesAfterOneScan) {
    Radio radio;
    auto r = testbed::runIsolated(testbed::kMountNs, [&] {
        radio.install();
        must("mkdir -p %s && printf 'office\\nzelmo4\\n' > %s/ssids", radio.file("wlan/wlan0").c_str(),
             radio.file("wlan/wlan0").c_str());
        return testWlan("wlan0") ? 0 : 1;
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, scanning("wlan0"));
    EXPECT_EQ(radio.calls(), "iw dev wlan0 scan\n");
}

TEST(WlanScan, SsidOutOfRangeFailsWithTheNotFoundError) {
    Radio radio;
    auto r = testbed::runIsolated(testbed::kMountNs, [&] {
        radio.install();
        must("mkdir -p %s && printf 'office\\nzelmo\\n' > %s/ssids", radio.file("wlan/wlan0").c_str(),
             radio.file("wlan/wlan0").c_str());
        return testWlan("wlan0") ? 1 : 0;
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, scanning("wlan0") + ssidNotFound("wlan0"));
    EXPECT_EQ(radio.calls(), "iw dev wlan0 scan\n");
}

TEST(WlanScan, FailedScanAndMissingInterfaceEndInTheSameError) {
    Radio radio;
    auto r = testbed::runIsolated(testbed::kMountNs, [&] {
        radio.install();
        must("mkdir -p %s && touch %s/scan-fails", radio.file("wlan/wlan0").c_str(), radio.file("wlan/wlan0").c_str());
        ChildChecks checks;
        checks.check(!testWlan("wlan0"), "a failed scan fails");
        checks.check(!testWlan("wlan1"), "a missing interface fails");
        return checks.exitCode();
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, scanning("wlan0") + ssidNotFound("wlan0") + scanning("wlan1") + ssidNotFound("wlan1"));
    EXPECT_EQ(radio.calls(), "iw dev wlan0 scan\niw dev wlan1 scan\n");
}

TEST(WlanScan, OverlongNameIsRefusedBeforeScanning) {
    Radio radio;
    std::string name(120, 'w');
    auto r = testbed::runIsolated(testbed::kMountNs, [&] {
        radio.install();
        return testWlan(name.c_str()) ? 1 : 0;
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    std::string truncated = ("iw dev " + name + " scan | grep zelmo4 > /dev/null").substr(0, 127);
    EXPECT_EQ(r.out, scanning(name) + expect::error("testWlan", "Command too long [" + truncated + "]\n"));
    EXPECT_EQ(radio.calls(), "");
}

TEST(Bluetooth, ListedControllerBecomesDiscoverableAndPairable) {
    Radio radio;
    auto r = testbed::runIsolated(testbed::kMountNs, [&] {
        radio.install();
        return testBluetooth() ? 0 : 1;
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, kSearching);
    EXPECT_EQ(radio.calls(), "hcitool dev\nbluetoothctl -- discoverable on\nbluetoothctl -- pairable on\n");
    EXPECT_EQ(testbed::readFile(radio.file("bt/discoverable")), "on\n");
    EXPECT_EQ(testbed::readFile(radio.file("bt/pairable")), "on\n");
}

TEST(Bluetooth, MissingControllerFailsWithoutRunningBluetoothctl) {
    Radio radio;
    auto r = testbed::runIsolated(testbed::kMountNs, [&] {
        radio.install();
        // Another controller is listed; only hci0 counts.
        must("mkdir -p %s && echo 'hci1 00:1A:7D:DA:71:15' > %s", radio.file("bt").c_str(),
             radio.file("bt/controllers").c_str());
        return testBluetooth() ? 1 : 0;
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, kSearching + expect::error("testBluetooth", "Bluetooth [hci0] device not found\n"));
    EXPECT_EQ(radio.calls(), "hcitool dev\n");
}

TEST(Bluetooth, FailedDiscoverableStepNeverRunsThePairableStep) {
    Radio radio;
    auto r = testbed::runIsolated(testbed::kMountNs, [&] {
        radio.install();
        must("mkdir -p %s && touch %s", radio.file("bt").c_str(), radio.file("bt/discoverable-fails").c_str());
        return testBluetooth() ? 1 : 0;
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out,
              kSearching + expect::error("testBluetooth", "System call [bluetoothctl -- discoverable on] error\n"));
    EXPECT_EQ(radio.calls(), "hcitool dev\nbluetoothctl -- discoverable on\n");
    EXPECT_EQ(testbed::readFile(radio.file("bt/pairable")), "");
}

TEST(Bluetooth, FailedPairableStepLeavesTheControllerDiscoverable) {
    Radio radio;
    auto r = testbed::runIsolated(testbed::kMountNs, [&] {
        radio.install();
        must("mkdir -p %s && touch %s", radio.file("bt").c_str(), radio.file("bt/pairable-fails").c_str());
        return testBluetooth() ? 1 : 0;
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, kSearching + expect::error("testBluetooth", "System call [bluetoothctl -- pairable on] error\n"));
    EXPECT_EQ(radio.calls(), "hcitool dev\nbluetoothctl -- discoverable on\nbluetoothctl -- pairable on\n");
    EXPECT_EQ(testbed::readFile(radio.file("bt/discoverable")), "on\n");
}

// Command lines no routine issues are refused by name and still logged, so
// a routine that changes its calls fails its tests instead of meeting a
// stand-in that guesses.
TEST(RadioStandIns, OtherCommandLinesAreRefusedAndLogged) {
    Radio radio;
    const char* const lines[] = {"iw dev wlan0 scan dump",  "iw dev",
                                 "hcitool -i hci0 dev",     "hcitool",
                                 "bluetoothctl show",       "bluetoothctl discoverable on",
                                 "bluetoothctl -- power on"};
    auto r = testbed::runIsolated(testbed::kMountNs, [&] {
        radio.install();
        for (const char* line : lines) {
            std::string cmd = std::string(line) + " 2>&1; echo \"status $?\"";
            if (system(cmd.c_str()) != 0) return 1;
        }
        return 0;
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    std::string refused, logged;
    for (const char* line : lines) {
        refused += std::string("kit-radio: not simulated: ") + line + "\nstatus 1\n";
        logged += std::string(line) + "\n";
    }
    EXPECT_EQ(r.out, refused);
    EXPECT_EQ(radio.calls(), logged);
}
