#include "QuelnorHal/camera/tools/ToolParameterType.h"

namespace quelnor {

std::string ToolParameterTypeToString(ToolParameterType type) {
    switch (type) {
    case INT: return "INT";
    case FLOAT: return "FLOAT";
    case BOOL: return "BOOL";
    case STRING: return "STRING";
    case ENUM: return "ENUM";
    }
    return "UNKNOWN";
}

} // namespace quelnor
