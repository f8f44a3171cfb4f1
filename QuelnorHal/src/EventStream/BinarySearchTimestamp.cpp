#include "QuelnorHal/EventStream/BinarySearchTimestamp.h"

#include <algorithm>

namespace quelnor {

Event2D* binarySearchTimestamp(uint64_t timestamp, Event2D* first, Event2D* last) {
    return std::lower_bound(first, last, timestamp,
                            [](const Event2D& event, uint64_t t) { return event.timestamp < t; });
}

} // namespace quelnor
