#pragma once
// The faults a user can inject into a board: each named once, here. The
// launcher's --list-faults, its checks of --fault arguments and the board's
// set-up all read this table; README's fault table is checked against it.

#include <string>
#include <vector>

namespace board {

// The faults chosen for one run, as given ("NAME" or "NAME=N"), and the
// parts asked for with --with.
struct FaultSet {
    std::vector<std::string> given;

    bool has(const char* name) const;
    // The number given with NAME=N, or fallback.
    long number(const char* name, long fallback) const;
    // Space-separated, as the kernel board reads them.
    std::string joined() const;
};

// Adds one --fault argument; false with the reason in why when it is unknown,
// malformed or clashes with one already chosen.
bool addFault(FaultSet& set, const std::string& arg, std::string& why);

// Adds one --with part (wifi, bluetooth); false with the reason in why.
bool addPart(FaultSet& set, const std::string& name, std::string& why);

// The faults of set that only the namespace board can play; false with the
// reason in why.
bool checkKernelBoard(const FaultSet& set, std::string& why);

// One line a fault: NAME, or NAME=N when it takes a number.
std::string faultList();

}  // namespace board
