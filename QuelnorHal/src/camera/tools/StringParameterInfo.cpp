#include "QuelnorHal/camera/tools/StringParameterInfo.h"

namespace quelnor {

std::string StringParameterInfo::toString() const { return " Default: " + defaultValue; }

} // namespace quelnor
