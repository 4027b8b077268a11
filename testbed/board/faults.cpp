#include "faults.h"

#include <cstdlib>

namespace board {
namespace {

struct FaultDef {
    const char* name;
    bool takesNumber;     // NAME=N, N a message number
    const char* standIn;  // faults of one stand-in exclude each other; null: none
    bool onKernelBoard;   // the kernel board can play it too
};

constexpr const char* kRs485 = "the RS485 line";
constexpr const char* kEcho = "the echo firmware";

constexpr FaultDef kFaults[] = {
    {"eth-unplugged", false, nullptr, true},
    {"eth1-no-address", false, nullptr, true},
    {"usb0-peer-down", false, nullptr, true},
    {"usb-stick-missing", false, nullptr, true},
    {"fixture-wrong", false, nullptr, true},
    {"fixture-short", false, nullptr, true},
    {"rs485-silent", false, kRs485, true},
    {"rs485-garbled", false, kRs485, true},
    {"rs485-partial", false, kRs485, true},
    {"adc-out-of-range", false, nullptr, true},
    {"adc-scale-zero", false, nullptr, true},
    {"adc-missing", false, nullptr, true},
    {"echo-silent", false, kEcho, true},
    {"echo-corrupt", true, kEcho, true},
    {"echo-short", true, kEcho, true},
    // gpio-sim does not wire lines to each other, so only the simulated chip has pin pairs.
    {"gpio-input-stuck", false, nullptr, false},
    {"gpio-pair-open", false, nullptr, false},
    {"relay-busy", false, nullptr, true},
    {"wlan-ssid-missing", false, nullptr, true},
    {"bt-controller-missing", false, nullptr, true},
};

// Parts a kernel board starts only when asked for (or when one of their
// faults is): each costs seconds of its start-up. The namespace board
// always has them.
constexpr const char* kParts[] = {"wifi", "bluetooth"};

const FaultDef* find(const std::string& name) {
    for (const FaultDef& f : kFaults)
        if (name == f.name) return &f;
    return nullptr;
}

std::string nameOf(const std::string& given) { return given.substr(0, given.find('=')); }

bool isNumber(const std::string& text) {
    return !text.empty() && text.size() <= 9 && text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

bool FaultSet::has(const char* name) const {
    for (const std::string& g : given)
        if (nameOf(g) == name) return true;
    return false;
}

long FaultSet::number(const char* name, long fallback) const {
    for (const std::string& g : given) {
        size_t eq = g.find('=');
        if (eq != std::string::npos && g.compare(0, eq, name) == 0) return atol(g.c_str() + eq + 1);
    }
    return fallback;
}

std::string FaultSet::joined() const {
    std::string out;
    for (const std::string& g : given) out += (out.empty() ? "" : " ") + g;
    return out;
}

bool addFault(FaultSet& set, const std::string& arg, std::string& why) {
    std::string name = nameOf(arg);
    const FaultDef* def = find(name);
    if (def == nullptr) {
        why = "unknown fault '" + arg + "' (see --list-faults)";
        return false;
    }
    bool hasArg = name.size() != arg.size();
    if (hasArg && !def->takesNumber) {
        why = "fault " + name + " takes no argument";
        return false;
    }
    if (hasArg && !isNumber(arg.substr(name.size() + 1))) {
        why = "fault " + name + " takes a message number";
        return false;
    }
    for (const std::string& g : set.given) {
        const FaultDef* other = find(nameOf(g));
        if (def->standIn != nullptr && other != nullptr && other->standIn == def->standIn) {
            why = "faults " + std::string(other->name) + " and " + name + " both change " + def->standIn;
            return false;
        }
    }
    set.given.push_back(arg);
    return true;
}

bool addPart(FaultSet& set, const std::string& name, std::string& why) {
    for (const char* part : kParts) {
        if (name != part) continue;
        set.given.push_back(name);
        return true;
    }
    why = "unknown board part '" + name + "' (wifi or bluetooth)";
    return false;
}

bool checkKernelBoard(const FaultSet& set, std::string& why) {
    for (const std::string& g : set.given) {
        const FaultDef* def = find(nameOf(g));
        if (def != nullptr && !def->onKernelBoard) {
            why = "fault " + std::string(def->name) + " needs wired GPIO pairs, which only the namespace board has";
            return false;
        }
    }
    return true;
}

std::string faultList() {
    std::string out;
    for (const FaultDef& f : kFaults) out += std::string(f.name) + (f.takesNumber ? "=N" : "") + "\n";
    return out;
}

}  // namespace board
