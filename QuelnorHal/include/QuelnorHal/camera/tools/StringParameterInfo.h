#pragma once

#include <functional>
#include <string>

namespace quelnor {

struct StringParameterInfo {
    std::string defaultValue;
    std::function<bool(std::string&)> getter;
    std::function<bool(std::string)> setter;

    std::string toString() const;
};

} // namespace quelnor
