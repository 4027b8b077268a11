#pragma once
// Board parts set up inside namespaces: the user namespace, a network with
// its cables, fixture overlays and a private /dev; set-up commands that must
// succeed; small file helpers.

#include <string>

namespace testbed {

// Makes this process root of a new user namespace (mapped to its own user),
// so that it may make the other namespaces; false with the reason in why.
bool enterUserNamespace(std::string& why);

// In a fresh network namespace: duplicate address detection off, a sysfs of
// this namespace on /sys, lo up.
void freshNetwork();

// The cable between the two Ethernet ports: a veth pair eth0 (02:...:01) and
// eth1 (02:...:02), eth0 up; eth1 up and with IPv6 unless a fault says not.
void ethernetCable(bool eth1Up = true, bool eth1Ipv6 = true);

// The set-up helpers below end the process with code (default 99) when a
// step fails, the reason on stderr.
void exitOnSetupFailureWith(int code);

// Inside a child: runs a shell command (stdout and stderr to stderr); on failure
// writes the command to stderr and exits the child with code 99.
void must(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A layer of fixtures: entries written into upper before the layer is
// mounted show over the target's own. The layer sits on a tmpfs of its own
// in a scratch directory under under. A user namespace may not add entries
// to a sysfs directory even through an overlay, so sysfs fixtures are
// written into upper first.
struct FixtureLayer {
    std::string upper;
    std::string work;
};
FixtureLayer newFixtureLayer(const std::string& under = "/tmp");
void mountFixtureLayer(const FixtureLayer& layer, const std::string& target);

// Inside a child: makes dir writable for fixtures. Its deepest existing
// ancestor gets an overlay (tmpfs upper, the real directory below), so live
// entries stay visible; then dir is created with its parents.
void makeFixtureDir(const char* dir);
// Writes text to path (creating or truncating it); exits the child with 99 on error.
void writeFixture(const std::string& path, const std::string& text);

// Inside a child in a mount namespace: a tmpfs /dev holding null, zero, full,
// random, urandom, tty, a fresh devpts (ptmx) and shm, nothing else.
void privateDev();

// Prepends dir to PATH in this process.
void prependPath(const std::string& dir);

// Reads a whole file; empty when missing.
std::string readFile(const std::string& path);
// Writes text to path in one write, creating or truncating it.
bool writeFile(const std::string& path, const std::string& text);

}  // namespace testbed
