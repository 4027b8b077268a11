#pragma once
// The fixed test sequence and its verdict report.

// Writes one verdict line: the label, then a green OK or a red FAILED.
void printResult(const char* label, bool passed);
// Banner, the five tests in order, the verdict block and the closing text.
void runFixedSequence();
