#include "QuelnorHal/camera/tools/IntParameterInfo.h"

namespace quelnor {

std::string IntParameterInfo::toString() const {
    return "Min: " + std::to_string(min) + " Max: " + std::to_string(max) + " Default: " +
           std::to_string(defaultValue) + " Unit: " + unit;
}

int IntParameterInfo::constraintValue(int v) const {
    // Lower bound first: with min > max every v below min gives min and every other v gives max.
    if (v < min) {
        return min;
    }
    if (v > max) {
        return max;
    }
    return v;
}

} // namespace quelnor
