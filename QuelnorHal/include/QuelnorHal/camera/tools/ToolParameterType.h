#pragma once

#include <cstdint>
#include <string>

namespace quelnor {

enum ToolParameterType : int32_t {
    INT = 0,
    FLOAT = 1,
    BOOL = 2,
    STRING = 3,
    ENUM = 4,
};

std::string ToolParameterTypeToString(ToolParameterType type);

} // namespace quelnor
