#pragma once
// Network interface tests: link state, Ethernet loop, USB gadget link, Internet ping.

bool isEthActive(const char* iface);
bool testEth(const char* iface);
bool testUsbOtg(const char* iface);
bool testEthLoop(const char* first, const char* second);
