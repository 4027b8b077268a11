// corvane: board test application. Arguments are ignored; the verdict block
// on standard output is the only report, so the exit status is always 0.
#include "runner.h"

int main() {
    runFixedSequence();
    return 0;
}
