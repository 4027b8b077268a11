#include "runner.h"

#include <cstdio>

#include "../tests/network.h"
#include "../tests/serial.h"
#include "../tests/storage.h"

void printResult(const char* label, bool passed) {
    printf("%s", label);
    printf("%s", passed ? "\033[32mOK\n\033[0m" : "\033[31mFAILED\n\033[0m");
}

void runFixedSequence() {
    puts("\nStarting Tarvelo Oskavel testing application\n");

    bool eth = testEthLoop("eth0", "eth1");
    bool usbOtg = testUsbOtg("usb0");
    bool usbDisk = testDisk("/run/media/usb0");
    bool rs485 = testPortPing("/dev/ttymxc1");
    bool adc = testAdc("iio:device0", 1, 2, 3);

    printResult("Testing ETH ..............", eth);
    printResult("Testing micro USB ........", usbOtg);
    printResult("Testing USB0 .............", usbDisk);
    printResult("Testing RS485 ............", rs485);
    printResult("Testing ADC ..............", adc);

    puts("\nTesting finished\n");
}
