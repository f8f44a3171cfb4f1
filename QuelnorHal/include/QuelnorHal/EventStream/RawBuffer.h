#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace quelnor {

// A pooled byte buffer as a data transfer delivers it; its size is the number of valid bytes.
// Dropping the last holder returns the vector to its transfer's pool (or frees it when the pool is gone).
using RawBuffer = std::shared_ptr<std::vector<uint8_t>>;

} // namespace quelnor
