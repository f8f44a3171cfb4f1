#include "QuelnorHal/camera/tools/EnumParameterInfo.h"

namespace quelnor {

std::string EnumParameterInfo::toString() const {
    return "Options: " + std::to_string(options.size()) + " Default: " + defaultValue;
}

} // namespace quelnor
