#pragma once

#include <vector>

#include "QuelnorHal/register/RegisterOperation.h"

namespace quelnor {

// Register-operation sequences the event-sensor drivers replay through their register controller.
// Built when QuelnorDriver is loaded, in the order declared here; do not use them from other static
// initialisers.

// IMX636 (Imx6x6Sensor): init replays STOP, INIT_1 and INIT_2; start replays START; stop replays STOP.
extern const std::vector<RegisterOperation> IMX6X6_INIT_SEQUENCE_1; // 27 operations
extern const std::vector<RegisterOperation> IMX6X6_INIT_SEQUENCE_2; // 81 operations, about 2.5 s of pauses
extern const std::vector<RegisterOperation> IMX6X6_START_SEQUENCE;  // 5 operations
extern const std::vector<RegisterOperation> IMX6X6_STOP_SEQUENCE;   // 7 operations

// GenX320 (Genx320Sensor): init replays STOP, then INIT; start and stop replay nothing.
extern const std::vector<RegisterOperation> GENX320_INIT_SEQUENCE; // 29 operations
extern const std::vector<RegisterOperation> GENX320_STOP_SEQUENCE; // 7 operations

} // namespace quelnor
