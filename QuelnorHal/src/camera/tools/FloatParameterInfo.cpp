#include "QuelnorHal/camera/tools/FloatParameterInfo.h"

namespace quelnor {

std::string FloatParameterInfo::toString() const {
    // std::to_string of a float is the "%f" form.
    return "Min: " + std::to_string(min) + " Max: " + std::to_string(max) + " Default: " +
           std::to_string(defaultValue) + " Unit: " + unit;
}

float FloatParameterInfo::constraintValue(float v) const {
    if (v < min) {
        return min;
    }
    if (v > max) {
        return max;
    }
    return v;
}

} // namespace quelnor
