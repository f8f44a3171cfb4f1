#pragma once

// What tests may see and do of a camera's event batcher. Include "cameralab/EventBatcherTestPeer.h".

#include <cstddef>
#include <mutex>
#include <vector>

#include "QuelnorDriver/camera/EventBatcher.h"

namespace quelnor {

class EventBatcherTestPeer {
public:
    // Threads waiting in getNextBatch for a batch by count, or by time.
    static size_t countWaiters(EventBatcher& batcher) { return waiters(batcher.countLane); }
    static size_t timeWaiters(EventBatcher& batcher) { return waiters(batcher.timeLane); }

    // The ready batches.
    static std::vector<Event2D> countReady(EventBatcher& batcher) { return ready(batcher.countLane); }
    static std::vector<Event2D> timeReady(EventBatcher& batcher) { return ready(batcher.timeLane); }
    // The pending batches (only while nothing feeds the batcher).
    static const std::vector<Event2D>& countPending(const EventBatcher& batcher) { return batcher.countLane.pending; }
    static const std::vector<Event2D>& timePending(const EventBatcher& batcher) { return batcher.timeLane.pending; }

    // Wakes the waiters without handing a batch over, as a spurious wake-up does.
    static void wakeWaiters(EventBatcher& batcher) {
        wake(batcher.countLane);
        wake(batcher.timeLane);
    }

private:
    static size_t waiters(EventBatcher::Lane& lane) {
        std::lock_guard<std::mutex> lock(lane.mutex);
        return lane.state.waiters;
    }
    static std::vector<Event2D> ready(EventBatcher::Lane& lane) {
        std::lock_guard<std::mutex> lock(lane.mutex);
        return lane.ready;
    }
    static void wake(EventBatcher::Lane& lane) {
        {
            std::lock_guard<std::mutex> lock(lane.mutex);
        }
        lane.condition.notify_all();
    }
};

} // namespace quelnor
