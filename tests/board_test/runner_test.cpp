#include <gtest/gtest.h>

#include <sys/wait.h>

#include <string>

#include "core/process.h"
#include "expect.h"
#include "isolated.h"

namespace {

std::string linkDown(const std::string& iface) {
    return expect::info("isEthActive", "Executing [ip link show " + iface + " |  grep \"state UP\" > /dev/null]\n") +
           expect::error("isEthActive", "Iface [" + iface + "] is not active\n");
}

}  // namespace

TEST(FixedSequence, BareBoardFailsEveryTestInOrderAndStillExitsZero) {
    // An empty network namespace, an empty /run and a /dev without the
    // RS485 port: every peripheral of the sequence is missing.
    auto r = runIsolated(kMountNs | kNetNs, [] {
        testbed::privateDev();
        testbed::must("mount -t tmpfs tmpfs /run");
        int status = testbed::runProgram({KIT_CORVANE, "--ignored", "arguments"});
        return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
    });
    if (r.skipped) GTEST_SKIP() << "needs namespaces: " << r.out;
    EXPECT_EQ(r.exitCode, 0);
    const std::string stty = "stty -F /dev/ttymxc1 9600 raw -echo -echoe -echok > /dev/null";
    EXPECT_EQ(r.out, "\nStarting Tarvelo Oskavel testing application\n\n" +
                         expect::info("testEthLoop", "Testing [eth0] [eth1] loop interefaces\n") + linkDown("eth0") +
                         expect::info("testUsbOtg", "Testing [usb0] intereface\n") + linkDown("usb0") +
                         expect::info("testDisk", "Testing [/run/media/usb0/testfile.txt] file\n") +
                         expect::error("openAndRead", "Failed to open [/run/media/usb0/testfile.txt] file\n") +
                         expect::info("testPortPing", "Setup port [" + stty + "]\n") +
                         expect::error("testPortPing", "System call [" + stty + "] error\n") +
                         expect::info("testAdc", "Testing ADC device [iio:device0]\n") +
                         expect::error("openAndRead",
                                       "Failed to open [/sys/bus/iio/devices/iio:device0/in_voltage0_scale] file\n") +
                         expect::verdict("Testing ETH ..............", false) +
                         expect::verdict("Testing micro USB ........", false) +
                         expect::verdict("Testing USB0 .............", false) +
                         expect::verdict("Testing RS485 ............", false) +
                         expect::verdict("Testing ADC ..............", false) + "\nTesting finished\n\n");
}
