#pragma once

#include <cstdint>
#include <string>

namespace quelnor {

// Which tool a tool is; cameras key their tool maps by it.
enum ToolType : int32_t {
    BIAS = 0,
    TRIGGER_IN = 1,
    SYNC = 2,
    ANTI_FLICKER = 3,
    EVENT_TRAIL_FILTER = 4,
    EVENT_RATE_CONTROL = 5,
    ROI = 6,
    APS_CTRL = 7,
};

std::string to_string(ToolType type);

} // namespace quelnor
