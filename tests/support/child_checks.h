#pragma once
// Checks made inside a forked child, where gtest's assertions cannot report:
// each failed check is named on stderr (the test's own output), and the
// child's exit code is how many failed, so a failure reads as its check
// instead of "1 != 0".

#include <cstdio>

struct ChildChecks {
    int failed = 0;
    void check(bool ok, const char* what) {
        if (ok) return;
        ++failed;
        fprintf(stderr, "check failed in the child: %s\n", what);
    }
    int exitCode() const { return failed < 100 ? failed : 100; }
};
