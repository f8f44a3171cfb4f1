#pragma once

#include <algorithm>
#include <cstdint>

namespace quelnor {

// Upper part written with every bias of both sensors (the transfer flag and the fixed reserved bits).
constexpr uint32_t BIAS_WORD_FIXED_BITS = 0x11A10000;
// The tools read the bias as the low byte of the register.
constexpr uint32_t BIAS_READ_MASK = 0xFF;

// The register word for a bias code. The code is clamped into the sensor's bias field so that it
// never spills into the bits above it.
inline uint32_t composeBiasWord(int code, int fieldMax) {
    return static_cast<uint32_t>(std::clamp(code, 0, fieldMax)) | BIAS_WORD_FIXED_BITS;
}

} // namespace quelnor
