#pragma once
// Wireless module tests: Wi-Fi interface presence, Wi-Fi scan, Bluetooth controller.

bool isWlan(const char* iface);
bool testWlan(const char* iface);
bool testBluetooth();
