#pragma once

#include <bitset>
#include <cstdint>

namespace quelnor {

// Follows the 24-bit packet ids of an Ethernet stream, packet by packet in arrival order, and tells
// for each one whether its payload goes on and how many packets went missing before it.
//
// The payload is used in arrival order, so a packet that comes after a newer one is never spliced
// in: the newer one declares the gap, and the older one, arriving late, is refused. A packet seen
// before is a duplicate and refused too. Neither is ever taken for a gap. A packet far behind the
// newest (more than REORDER_WINDOW ids) means the camera started its ids anew: it is taken, with a
// gap of unknown size before it. Id 0 is not a payload id (GigE Vision keeps it for the leader), so
// a camera that skips it at the wrap loses nothing there.
//
// Not thread-safe: one thread (the stream reader) uses an object.
class StreamPacketTracker {
public:
    static constexpr uint32_t ID_MASK = 0xFFFFFF;
    static constexpr uint32_t REORDER_WINDOW = 2048;
    static constexpr uint32_t RING_SIZE = 4096;

    enum class Verdict {
        Take,      // the payload goes on; `missed` packets are missing before it
        Duplicate, // seen before: refused
        Late,      // its gap was declared already: refused
    };

    struct Result {
        Verdict verdict = Verdict::Take;
        uint32_t missed = 0; // packets missing before this one (Take only)
        bool gapBefore = false; // data is missing before this payload (missed > 0, or ids restarted)
    };

    // Forgets every id: the next packet starts the stream.
    void reset();
    Result onPacket(uint32_t packetId);

    // Distance forward from b to a in the 24-bit id space.
    static uint32_t forwardDist(uint32_t a, uint32_t b);
    // a lies less than half the id space ahead of b.
    static bool isNewer(uint32_t a, uint32_t b);
    static uint32_t maskId(uint32_t id) { return id & ID_MASK; }

private:
    void markTaken(uint32_t id) { taken.set(id % RING_SIZE); }
    // Clears the ring entries of the `count` ids from `first` on (all of them when count fills the ring).
    void markMissing(uint32_t first, uint32_t count);

    bool started = false;
    uint32_t expected = 0; // the id that follows the newest taken
    std::bitset<RING_SIZE> taken; // by id modulo RING_SIZE, for ids not older than REORDER_WINDOW
};

} // namespace quelnor
