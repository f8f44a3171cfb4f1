#pragma once

#include <functional>
#include <string>

namespace quelnor {

struct BoolParameterInfo {
    bool defaultValue = false;
    std::function<bool(bool&)> getter;
    std::function<bool(bool)> setter;

    std::string toString() const;
};

} // namespace quelnor
