#pragma once
// Splits console output into the pieces that single writes produce, sorted,
// for output written by threads running side by side. An entry is written as
// separate pieces (prefix, message, closing) and pieces of concurrent entries
// may interleave, but each piece stays whole; so output is compared piece by
// piece, byte for byte, in no fixed order.

#include <algorithm>
#include <string>
#include <vector>

namespace expect {

inline std::vector<std::string> entries(const std::string& out) {
    std::vector<std::string> pieces;
    size_t i = 0;
    while (i < out.size()) {
        size_t end;
        bool info = out.compare(i, 9, "\033[0mLOG: ") == 0;
        bool error = out.compare(i, 10, "\033[31mERR: ") == 0;
        if (info || error) {
            // A prefix: the colour, the level tag, the routine's name and one blank.
            end = out.find(' ', i + (info ? 9 : 10));
            end = end == std::string::npos ? out.size() : end + 1;
        } else if (out.compare(i, 4, "\033[0m") == 0) {
            end = i + 4;  // the closing reset of an error entry or a verdict line
        } else {
            // A message or plain text: up to its newline, or to the next colour sequence.
            size_t nl = out.find('\n', i);
            size_t esc = out.find('\033', i + 1);
            end = std::min(nl == std::string::npos ? out.size() : nl + 1, esc == std::string::npos ? out.size() : esc);
        }
        pieces.push_back(out.substr(i, end - i));
        i = end;
    }
    std::sort(pieces.begin(), pieces.end());
    return pieces;
}

}  // namespace expect
