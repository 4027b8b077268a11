#pragma once
// A test whose child could not get the namespaces it needs is skipped, with
// what the child said (the machine, not the code, is missing something).

#include <gtest/gtest.h>

#define SKIP_IF_NO_NAMESPACES(r) \
    if ((r).skipped) GTEST_SKIP() << "needs namespaces this machine does not give: " << (r).out
