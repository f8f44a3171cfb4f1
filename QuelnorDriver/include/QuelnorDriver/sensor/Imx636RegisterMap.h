#pragma once

#include <cstdint>

#include "QuelnorHal/register/RegisterInfo.h"

namespace quelnor {

// Register table of the IMX636 event sensor (controller prefix "PSEE/IMX636/"): 742 registers,
// 2011 fields, 126 aliases. Filled when QuelnorDriver is loaded; do not use it from other static
// initialisers.
constexpr uint32_t IMX636_REGISTER_MAP_SIZE = 2879;
extern const RegisterInfo (&IMX636_REGISTER_MAP)[IMX636_REGISTER_MAP_SIZE];

} // namespace quelnor
