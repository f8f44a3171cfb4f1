#pragma once

#include <cstdint>

#include "QuelnorHal/register/RegisterInfo.h"

namespace quelnor {

// Register table of the GenX320 event sensor (controller prefix "PSEE/GENX320/"): 226 registers,
// 570 fields, no aliases. Filled when QuelnorDriver is loaded; do not use it from other static
// initialisers.
constexpr uint32_t GENX320_REGISTER_MAP_SIZE = 796;
extern const RegisterInfo (&GENX320_REGISTER_MAP)[GENX320_REGISTER_MAP_SIZE];

} // namespace quelnor
