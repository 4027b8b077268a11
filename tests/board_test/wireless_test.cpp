#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "child_checks.h"
#include "expect.h"
#include "isolated.h"
#include "routine_entries.h"
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

using expect::kSearchingHci0;
using expect::ssidNotFound;
using expect::ssidSearch;

}  // namespace

// isWlan looks for the name in the address listing of the board's links
// and runs no radio tool.
TEST(WlanPresence, VerdictFollowsTheLinksOfTheBoard) {
    const struct {
        const char* what;
        const char* links;  // set-up command; empty: none
        const char* name;
        bool present;
        std::string refusal;
    } cases[] = {
        {"name in the address listing passes", "ip tuntap add wlan0 mode tap", "wlan0", true, ""},
        {"name inside a longer interface name counts as present", "ip link add xwlan1x type veth peer name peer0",
         "wlan1", true, ""},
        {"absent name fails without an error entry", "ip link add eth0 type veth peer name eth1", "wlan0", false, ""},
        {"name that would change the shell command is refused", "", "lo; true", false,
         expect::error("isWlan", "Unsafe name refused [lo; true]\n")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Radio radio;
        auto r = runIsolated(kMountNs | kNetNs, [&] {
            radio.install();
            if (*c.links != '\0') must("%s", c.links);
            return isWlan(c.name) ? 1 : 0;
        });
        SKIP_IF_NO_NAMESPACES(r);
        EXPECT_EQ(r.exitCode, c.present ? 1 : 0);
        EXPECT_EQ(r.out, expect::wlanPresence(c.name) + c.refusal);
        EXPECT_EQ(radio.calls(), "");
    }
}

// One scan of wlan0 decides: the factory network among the SSIDs in range
// passes; a name that only starts like it does not.
TEST(WlanScan, SsidsInRangeDecideAfterOneScan) {
    for (const auto& [ssids, found] : {std::pair{"office\nzelmo4\n", true}, std::pair{"office\nzelmo\n", false}}) {
        SCOPED_TRACE(ssids);
        Radio radio;
        auto r = runIsolated(kMountNs, [&] {
            radio.install();
            must("mkdir -p %s", radio.file("wlan/wlan0").c_str());
            testbed::writeFixture(radio.file("wlan/wlan0/ssids"), ssids);
            return testWlan("wlan0") ? 1 : 0;
        });
        SKIP_IF_NO_NAMESPACES(r);
        EXPECT_EQ(r.exitCode, found ? 1 : 0);
        EXPECT_EQ(r.out, ssidSearch("wlan0") + (found ? "" : ssidNotFound("wlan0")));
        EXPECT_EQ(radio.calls(), "iw dev wlan0 scan\n");
    }
}

TEST(WlanScan, FailedScanAndMissingInterfaceEndInTheSameError) {
    Radio radio;
    auto r = runIsolated(kMountNs, [&] {
        radio.install();
        must("mkdir -p %s && touch %s/scan-fails", radio.file("wlan/wlan0").c_str(), radio.file("wlan/wlan0").c_str());
        ChildChecks checks;
        checks.check(!testWlan("wlan0"), "a failed scan fails");
        checks.check(!testWlan("wlan1"), "a missing interface fails");
        return checks.exitCode();
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, ssidSearch("wlan0") + ssidNotFound("wlan0") + ssidSearch("wlan1") + ssidNotFound("wlan1"));
    EXPECT_EQ(radio.calls(), "iw dev wlan0 scan\niw dev wlan1 scan\n");
}

TEST(WlanScan, OverlongNameIsRefusedBeforeScanning) {
    Radio radio;
    std::string name(120, 'w');
    auto r = runIsolated(kMountNs, [&] {
        radio.install();
        return testWlan(name.c_str()) ? 1 : 0;
    });
    SKIP_IF_NO_NAMESPACES(r);
    EXPECT_EQ(r.exitCode, 0);
    std::string truncated = ("iw dev " + name + " scan | grep zelmo4 > /dev/null").substr(0, 127);
    EXPECT_EQ(r.out, ssidSearch(name) + expect::error("testWlan", "Command too long [" + truncated + "]\n"));
    EXPECT_EQ(radio.calls(), "");
}

// testBluetooth against the controller's state: its verdict, its log, the
// tools called and the modes the controller was left in.
TEST(Bluetooth, VerdictLogAndModesFollowTheController) {
    const std::string kAll = "hcitool dev\nbluetoothctl -- discoverable on\nbluetoothctl -- pairable on\n";
    const struct {
        const char* what;
        const char* file;  // a state file under bt/; null: none
        const char* text;
        bool passes;
        std::string error;
        std::string calls;
        const char* discoverable;  // the modes afterwards ("" when never switched on)
        const char* pairable;
    } cases[] = {
        {"listed controller becomes discoverable and pairable", nullptr, "", true, "", kAll, "on\n", "on\n"},
        // Another controller is listed; only hci0 counts.
        {"missing controller fails without running bluetoothctl", "controllers", "hci1 00:1A:7D:DA:71:15\n", false,
         "Bluetooth [hci0] device not found\n", "hcitool dev\n", "", ""},
        {"failed discoverable step never runs the pairable step", "discoverable-fails", "", false,
         "System call [bluetoothctl -- discoverable on] error\n", "hcitool dev\nbluetoothctl -- discoverable on\n", "",
         ""},
        {"failed pairable step leaves the controller discoverable", "pairable-fails", "", false,
         "System call [bluetoothctl -- pairable on] error\n", kAll, "on\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Radio radio;
        auto r = runIsolated(kMountNs, [&] {
            radio.install();
            if (c.file != nullptr) {
                must("mkdir -p %s", radio.file("bt").c_str());
                testbed::writeFixture(radio.file(std::string("bt/") + c.file), c.text);
            }
            return testBluetooth() ? 1 : 0;
        });
        SKIP_IF_NO_NAMESPACES(r);
        EXPECT_EQ(r.exitCode, c.passes ? 1 : 0);
        EXPECT_EQ(r.out, kSearchingHci0 + (c.error.empty() ? "" : expect::error("testBluetooth", c.error)));
        EXPECT_EQ(radio.calls(), c.calls);
        EXPECT_EQ(testbed::readFile(radio.file("bt/discoverable")), c.discoverable);
        EXPECT_EQ(testbed::readFile(radio.file("bt/pairable")), c.pairable);
    }
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
    auto r = runIsolated(kMountNs, [&] {
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
