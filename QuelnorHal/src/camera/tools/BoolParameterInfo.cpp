#include "QuelnorHal/camera/tools/BoolParameterInfo.h"

namespace quelnor {

std::string BoolParameterInfo::toString() const { return std::string("Default: ") + (defaultValue ? "1" : "0"); }

} // namespace quelnor
