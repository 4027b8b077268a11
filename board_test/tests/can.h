#pragma once
// CAN bus tests with the can-utils tools: one interface hearing a frame, and two wired interfaces.

bool testCan(const char* iface);
// receiver captures into "canfile" in the working directory while sender generates one frame.
bool testCanLoop(const char* receiver, const char* sender);
