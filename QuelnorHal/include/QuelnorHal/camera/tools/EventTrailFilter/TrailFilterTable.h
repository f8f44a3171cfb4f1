#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace quelnor {

// Timing of the trail filter block per threshold in milliseconds (1 to 100, every value present):
// "presc", "mult" and "dt_fifo_timeout". Built when QuelnorHal is loaded and only read afterwards,
// so tools of several cameras may read it from any thread.
extern const std::map<int32_t, std::map<std::string, int32_t>> TRAIL_FILTER_TABLE;

} // namespace quelnor
