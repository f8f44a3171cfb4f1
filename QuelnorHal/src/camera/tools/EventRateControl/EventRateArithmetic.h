#pragma once

#include <cstdint>

namespace quelnor {

constexpr uint64_t EVENTS_PER_MEV = 1000000;
// The set-up sequences' reference period, in microseconds.
constexpr uint32_t ERC_REFERENCE_PERIOD = 200;

// Events per reference period for a rate in MEv/s, in 64 bits so no rate the limit admits can wrap.
inline uint64_t ercTargetFor(int64_t rateMev, uint32_t period) {
    return static_cast<uint64_t>(rateMev) * EVENTS_PER_MEV * period / EVENTS_PER_MEV;
}

// Whole MEv/s that a target represents; the period must not be 0.
inline int ercRateOf(uint64_t target, uint32_t period) {
    return static_cast<int>(target * EVENTS_PER_MEV / period / EVENTS_PER_MEV);
}

} // namespace quelnor
