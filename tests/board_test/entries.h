#pragma once
// Splits console output into whole log entries, for output written by threads
// running side by side, whose entries come in no fixed order.

#include <algorithm>
#include <string>
#include <vector>

namespace expect {

inline std::vector<std::string> entries(const std::string& out) {
    static const std::string kInfo = "\033[0mLOG: ";
    static const std::string kError = "\033[31mERR: ";
    std::vector<size_t> starts;
    for (size_t i = 0; i < out.size(); ++i) {
        if (out.compare(i, kInfo.size(), kInfo) == 0 || out.compare(i, kError.size(), kError) == 0)
            starts.push_back(i);
    }
    std::vector<std::string> list;
    if (starts.empty() || starts.front() != 0) list.push_back(out.substr(0, starts.empty() ? out.size() : starts.front()));
    for (size_t k = 0; k < starts.size(); ++k) {
        size_t end = k + 1 < starts.size() ? starts[k + 1] : out.size();
        list.push_back(out.substr(starts[k], end - starts[k]));
    }
    std::sort(list.begin(), list.end());
    return list;
}

}  // namespace expect
