// The fields of a /proc/<pid>/stat line after the process name, which may itself hold
// spaces and parentheses: fields()[0] is the state, [1] the parent, [11] utime, [12] stime.
#pragma once
#include <string>
#include <vector>

namespace lumora::bench {

inline std::vector<std::string> statFieldsAfterName(const std::string& stat) {
    std::vector<std::string> fields;
    auto close = stat.rfind(')');
    if (close == std::string::npos || close + 2 > stat.size()) return fields;
    std::string field;
    for (char c : stat.substr(close + 2)) {
        if (c == ' ') {
            fields.push_back(field);
            field.clear();
        } else {
            field += c;
        }
    }
    fields.push_back(field);
    return fields;
}

}  // namespace lumora::bench
