#pragma once

#include <string>
#include <vector>

#include "QuelnorHal/camera/tools/ToolType.h"

namespace quelnor {

// A tool's description; `name` is also the tool's key in the camera-configuration file.
struct ToolInfo {
    ToolType type = BIAS;
    std::string name;
    std::vector<std::string> parameters;
    std::string description;
};

} // namespace quelnor
