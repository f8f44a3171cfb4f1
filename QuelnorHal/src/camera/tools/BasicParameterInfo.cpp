#include "QuelnorHal/camera/tools/BasicParameterInfo.h"

namespace quelnor {

std::string BasicParameterInfo::toString() const {
    return "Name: " + name + " Description: " + description + " Type: " + ToolParameterTypeToString(type);
}

} // namespace quelnor
