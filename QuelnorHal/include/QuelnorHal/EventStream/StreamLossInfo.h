#pragma once

#include <cstdint>

namespace quelnor {

// What a running stream lost, as running totals since its last start.
struct StreamLossInfo {
    uint64_t lostPackets = 0;      // transport packets known to be missing (Ethernet packet-id gaps)
    uint64_t lostBytes = 0;        // bytes estimated lost with them
    uint64_t refusedDatagrams = 0; // datagrams refused as malformed, late, duplicate or from a foreign sender
    uint64_t droppedBuffers = 0;   // raw buffers dropped because the consumer fell behind
    uint64_t droppedBytes = 0;     // bytes dropped with them
};

} // namespace quelnor
