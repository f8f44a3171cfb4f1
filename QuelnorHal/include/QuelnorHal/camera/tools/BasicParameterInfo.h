#pragma once

#include <string>

#include "QuelnorHal/camera/tools/ToolParameterType.h"

namespace quelnor {

// What every tool parameter has: the name it is read and written by, a line for users and its kind.
struct BasicParameterInfo {
    std::string name;
    std::string description;
    ToolParameterType type = BOOL;

    std::string toString() const;
};

} // namespace quelnor
