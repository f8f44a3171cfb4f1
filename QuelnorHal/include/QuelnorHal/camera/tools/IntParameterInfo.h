#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace quelnor {

// min and max are declared bounds; only constraintValue and the tools' own setters apply them.
struct IntParameterInfo {
    int32_t min = 0;
    int32_t max = 0;
    int32_t defaultValue = 0;
    std::string unit;
    std::function<bool(int&)> getter;
    std::function<bool(int)> setter;

    std::string toString() const;
    int constraintValue(int v) const;
};

} // namespace quelnor
