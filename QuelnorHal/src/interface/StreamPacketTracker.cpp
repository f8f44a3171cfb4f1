#include "interface/StreamPacketTracker.h"

namespace quelnor {

namespace {

constexpr uint32_t ID_SPACE = 0x1000000;
constexpr uint32_t ID_HALF = 0x7FFFFF;

uint32_t nextId(uint32_t id) { return (id + 1) & StreamPacketTracker::ID_MASK; }

} // namespace

uint32_t StreamPacketTracker::forwardDist(uint32_t a, uint32_t b) { return a >= b ? a - b : ID_SPACE - b + a; }

bool StreamPacketTracker::isNewer(uint32_t a, uint32_t b) { return a != b && ((a - b) & ID_MASK) <= ID_HALF; }

void StreamPacketTracker::reset() {
    started = false;
    expected = 0;
    taken.reset();
}

void StreamPacketTracker::markMissing(uint32_t first, uint32_t count) {
    if (count >= RING_SIZE) {
        taken.reset();
        return;
    }
    for (uint32_t i = 0; i < count; ++i) {
        taken.reset((first + i) % RING_SIZE);
    }
}

StreamPacketTracker::Result StreamPacketTracker::onPacket(uint32_t packetId) {
    const uint32_t id = maskId(packetId);
    Result result;
    if (!started) {
        started = true;
        taken.reset();
    } else if (id != expected) {
        if (isNewer(id, expected)) {
            uint32_t missed = forwardDist(id, expected);
            markMissing(expected, missed);
            // The ids skipped include 0 when the gap crosses the wrap: it carries no payload.
            if (expected == 0 || (id < expected && id != 0)) {
                --missed;
            }
            result.missed = missed;
            result.gapBefore = missed > 0;
        } else {
            const uint32_t behind = forwardDist(expected, id);
            if (behind <= REORDER_WINDOW) {
                result.verdict = taken.test(id % RING_SIZE) ? Verdict::Duplicate : Verdict::Late;
                return result;
            }
            // Far behind the newest: the camera's ids started again.
            taken.reset();
            result.gapBefore = true;
        }
    }
    markTaken(id);
    expected = nextId(id);
    return result;
}

} // namespace quelnor
