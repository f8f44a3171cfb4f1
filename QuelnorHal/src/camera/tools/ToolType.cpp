#include "QuelnorHal/camera/tools/ToolType.h"

namespace quelnor {

std::string to_string(ToolType type) {
    switch (type) {
    case BIAS: return "BIAS";
    case TRIGGER_IN: return "TRIGGER_IN";
    case SYNC: return "SYNC";
    case ANTI_FLICKER: return "ANTI_FLICKER";
    case EVENT_TRAIL_FILTER: return "EVENT_TRAIL_FILTER";
    case EVENT_RATE_CONTROL: return "EVENT_RATE_CONTROL";
    case ROI: return "ROI";
    case APS_CTRL: return "APS_CTRL";
    }
    return "UNKNOWN";
}

} // namespace quelnor
