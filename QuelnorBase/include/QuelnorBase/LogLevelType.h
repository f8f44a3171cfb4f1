#pragma once

namespace quelnor {

// Same numbers as spdlog's levels. Fixed to int, so any level a caller passes (7, -1) is a valid value.
enum LogLevelType : int {
    LOG_TRACE = 0,
    LOG_DEBUG = 1,
    LOG_INFO = 2,
    LOG_WARN = 3,
    LOG_ERROR = 4,
    LOG_CRITICAL = 5,
};

} // namespace quelnor
