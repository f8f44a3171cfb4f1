#pragma once

#include <functional>
#include <string>

namespace quelnor {

struct FloatParameterInfo {
    float min = 0.0f;
    float max = 0.0f;
    float defaultValue = 0.0f;
    std::string unit;
    std::function<bool(float&)> getter;
    std::function<bool(float)> setter;

    std::string toString() const;
    // A NaN fails both comparisons and comes back unchanged.
    float constraintValue(float v) const;
};

} // namespace quelnor
