#pragma once

#include <string>

namespace quelnor {

// The two time-base flags of a sync mode: the first sets "time_base_mode" and
// "external_mode_enable", the second "external_mode". Returns false for an unknown mode.
inline bool syncModeFlags(const std::string& mode, bool& a, bool& b) {
    if (mode == "STANDALONE") {
        a = false;
        b = true;
    } else if (mode == "MASTER") {
        a = true;
        b = true;
    } else if (mode == "SLAVE") {
        a = true;
        b = false;
    } else {
        return false;
    }
    return true;
}

} // namespace quelnor
