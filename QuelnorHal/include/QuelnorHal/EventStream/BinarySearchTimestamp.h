#pragma once

#include <cstdint>

#include "QuelnorBase/Event2D.h"

namespace quelnor {

// Lower bound by time over events in non-decreasing time order: the first event whose time stamp
// is not below `timestamp`, or `last` when there is none.
Event2D* binarySearchTimestamp(uint64_t timestamp, Event2D* first, Event2D* last);

} // namespace quelnor
