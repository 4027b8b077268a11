#pragma once
// A descriptor closed when its owner goes out of scope.

#include <unistd.h>

namespace testbed {

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { release(); }
    // Closes it now.
    void release() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
};

}  // namespace testbed
