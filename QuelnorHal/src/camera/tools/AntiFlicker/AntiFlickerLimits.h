#pragma once

#include <cstdint>

namespace quelnor {

constexpr int64_t AFK_MIN_FREQUENCY_HZ = 50;
constexpr int64_t AFK_MAX_FREQUENCY_HZ = 520;
constexpr int32_t AFK_MAX_THRESHOLD = 7;
constexpr uint32_t AFK_DUTY_CODE_STEPS = 16;
// "pipeline_control" values: bypassed, and running.
constexpr uint32_t AFK_PIPELINE_BYPASS = 5;
constexpr uint32_t AFK_PIPELINE_RUN = 1;

// Period in units of 128 us, rounded down.
inline unsigned afkPeriodOf(unsigned hz) { return static_cast<unsigned>(static_cast<int32_t>(1000000.0 / hz)) >> 7; }

} // namespace quelnor
