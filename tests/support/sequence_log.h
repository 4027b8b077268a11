#pragma once
// Expected console log of corvane's fixed sequence on a prepared board, for
// every board that runs it.

#include <string>

#include "expect.h"

namespace expect {

inline const char* const kLabels[] = {"Testing ETH ..............", "Testing micro USB ........",
                                      "Testing USB0 .............", "Testing RS485 ............",
                                      "Testing ADC .............."};

// The verdict block with verdict `failed` red (-1: all green) and the closing text.
inline std::string verdicts(int failed) {
    std::string v;
    for (int i = 0; i < 5; ++i) v += expect::verdict(kLabels[i], i != failed);
    return v + "\nTesting finished\n\n";
}

inline std::string linkCheck(const std::string& iface) {
    return expect::info("isEthActive", "Executing [ip link show " + iface + " |  grep \"state UP\" > /dev/null]\n");
}

inline const std::string kIio = "/sys/bus/iio/devices/iio:device0";
inline const std::string kStty = "stty -F /dev/ttymxc1 9600 raw -echo -echoe -echok > /dev/null";

// The whole log of a good board, up to the verdict block. The RS485 reader
// logs what its one read returned: portRead is that count and text.
inline std::string goodSequence(const std::string& portRead = "[9] [12 34 56]") {
    return "\nStarting Tarvelo Oskavel testing application\n\n" +
           expect::info("testEthLoop", "Testing [eth0] [eth1] loop interefaces\n") + linkCheck("eth0") +
           linkCheck("eth1") +
           expect::info("testEthLoop", "Executing [ping6 -I eth1 -c 2 -W 1 fe80::ff:fe00:1 > /dev/null 2>&1]\n") +
           expect::info("testEthLoop", "Executing [ping6 -I eth0 -c 2 -W 1 fe80::ff:fe00:2 > /dev/null 2>&1]\n") +
           expect::info("testUsbOtg", "Testing [usb0] intereface\n") + linkCheck("usb0") +
           expect::info("testDisk", "Testing [/run/media/usb0/testfile.txt] file\n") +
           expect::info("testPortPing", "Setup port [" + kStty + "]\n") +
           expect::info("testPortPing", "Writing port [echo \"12 34 56\"> /dev/ttymxc1]\n") +
           expect::info("testPortThread", "Reading port [/dev/ttymxc1]\n") +
           expect::info("testPortThread", "Reading port content " + portRead + "\n") +
           expect::info("testAdc", "Testing ADC device [iio:device0]\n") +
           expect::info("testAdc", "ADC scale [0.250000000] [0]\n") +
           expect::info("testAdc", "ADC testing channel [" + kIio + "/in_voltage0_raw]\n") +
           expect::info("checkAdcChannel", "ADC channel raw [" + kIio + "/in_voltage0_raw] [10] [10]\n") +
           expect::info("checkAdcChannel", "ADC channel voltage [" + kIio + "/in_voltage0_raw] [2]\n");
}

}  // namespace expect
