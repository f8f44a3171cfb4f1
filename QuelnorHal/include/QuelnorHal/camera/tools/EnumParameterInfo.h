#pragma once

#include <functional>
#include <string>
#include <vector>

namespace quelnor {

// options are offered for display; the framework does not enforce them.
struct EnumParameterInfo {
    std::vector<std::string> options;
    std::string defaultValue;
    std::function<bool(std::string&)> getter;
    std::function<bool(std::string)> setter;

    std::string toString() const;
};

} // namespace quelnor
