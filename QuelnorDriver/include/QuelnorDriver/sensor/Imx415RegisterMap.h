#pragma once

#include <cstdint>

#include "QuelnorHal/register/RegisterInfo.h"

namespace quelnor {

// Register table of the fusion camera's frame-sensor board (the IMX415 side): 10 registers, 7 fields.
constexpr uint32_t IMX415_REGISTER_MAP_SIZE = 17;
extern const RegisterInfo IMX415_REGISTER_MAP[IMX415_REGISTER_MAP_SIZE];

} // namespace quelnor
