#include "QuelnorDriver/camera/FusionCameraPrivate.h"

#include <algorithm>
#include <utility>

#include "QuelnorHal/EventStream/BinarySearchTimestamp.h"

namespace quelnor {

FusionCameraPrivate::FusionCameraPrivate(CameraDescription description_) : FusionCamera(std::move(description_)) {}

FusionCameraPrivate::~FusionCameraPrivate() = default;

std::unique_ptr<FusionCameraPrivate::BufferPool> FusionCameraPrivate::makeBufferPool(size_t count, size_t capacity) {
    auto pool = std::make_unique<BufferPool>(0, false);
    std::vector<FrameBuffer> made;
    made.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        made.push_back(pool->acquire());
        made.back()->reserve(capacity);
    }
    return pool; // `made` goes back into the pool here
}

// ---------------------------------------------------------------- callbacks

uint32_t FusionCameraPrivate::addEventsStreamHandleCallback(EventsCallback callback) {
    std::lock_guard<std::mutex> lock(eventCallbackMutex);
    const uint32_t id = nextEventCallbackId++;
    eventCallbacks.emplace(id, std::move(callback));
    return id;
}

uint32_t FusionCameraPrivate::addSharedEventsStreamHandleCallback(SharedEventsCallback callback) {
    std::lock_guard<std::mutex> lock(sharedEventCallbackMutex);
    const uint32_t id = nextSharedEventCallbackId++;
    sharedEventCallbacks.emplace(id, std::move(callback));
    return id;
}

bool FusionCameraPrivate::removeEventsStreamHandleCallback(uint32_t id) {
    std::lock_guard<std::mutex> lock(eventCallbackMutex);
    return eventCallbacks.erase(id) > 0;
}

bool FusionCameraPrivate::removeSharedEventsStreamHandleCallback(uint32_t id) {
    std::lock_guard<std::mutex> lock(sharedEventCallbackMutex);
    return sharedEventCallbacks.erase(id) > 0;
}

uint32_t FusionCameraPrivate::addSyncSignalCallback(SyncSignalCallback callback) {
    std::lock_guard<std::mutex> lock(syncSignalCallbackMutex);
    const uint32_t id = nextSyncSignalCallbackId++;
    syncSignalCallbacks.emplace(id, std::move(callback));
    return id;
}

bool FusionCameraPrivate::removeSyncSignalCallback(uint32_t id) {
    std::lock_guard<std::mutex> lock(syncSignalCallbackMutex);
    return syncSignalCallbacks.erase(id) > 0;
}

void FusionCameraPrivate::clearStreamCallbacks() {
    {
        std::lock_guard<std::mutex> lock(eventCallbackMutex);
        eventCallbacks.clear();
    }
    {
        std::lock_guard<std::mutex> lock(sharedEventCallbackMutex);
        sharedEventCallbacks.clear();
    }
    std::lock_guard<std::mutex> lock(syncSignalCallbackMutex);
    syncSignalCallbacks.clear();
}

void FusionCameraPrivate::sharedEventStreamArrived(std::shared_ptr<std::vector<Event2D>> events) {
    std::vector<SharedEventsCallback> callbacks;
    {
        std::lock_guard<std::mutex> lock(sharedEventCallbackMutex);
        callbacks.reserve(sharedEventCallbacks.size());
        for (const auto& [id, callback] : sharedEventCallbacks) {
            callbacks.push_back(callback);
        }
    }
    // No lock held: a callback may add or remove shared-event callbacks.
    for (const SharedEventsCallback& callback : callbacks) {
        callback(events);
    }
}

void FusionCameraPrivate::callEventCallbacks(Event2D* first, Event2D* last) {
    std::lock_guard<std::mutex> lock(eventCallbackMutex);
    for (auto& [id, callback] : eventCallbacks) {
        callback(first, last);
    }
}

void FusionCameraPrivate::callSyncSignalCallbacks(const EventTriggerIn& trigger) {
    std::lock_guard<std::mutex> lock(syncSignalCallbackMutex);
    for (auto& [id, callback] : syncSignalCallbacks) {
        callback(trigger);
    }
}

// ---------------------------------------------------------------- batches

void FusionCameraPrivate::setBatchEventsNum(uint64_t count) {
    batchEventsNum.store(std::max<uint64_t>(count, 1));
    std::lock_guard<std::mutex> lock(batchModeMutex);
    batchMode = BATCH_BY_COUNT;
}

void FusionCameraPrivate::setBatchEventsTime(uint64_t microseconds) {
    batchEventsTime.store(std::max<uint64_t>(microseconds, 1));
    std::lock_guard<std::mutex> lock(batchModeMutex);
    batchMode = BATCH_BY_TIME;
}

void FusionCameraPrivate::batchEvents(Event2D* first, Event2D* last) {
    int32_t mode = BATCH_NONE;
    {
        std::lock_guard<std::mutex> lock(batchModeMutex);
        mode = batchMode;
    }
    if (first == last) {
        return;
    }
    if (mode == BATCH_BY_COUNT) {
        batchByCount(first, last);
    } else if (mode == BATCH_BY_TIME) {
        batchByTime(first, last);
    }
}

void FusionCameraPrivate::batchByCount(Event2D* first, Event2D* last) {
    const uint64_t size = batchEventsNum.load();
    // After the size was lowered, what is already pending goes at once.
    if (countBatchPending.size() >= size) {
        handOver(countBatchReady, countBatchPending, countBatchMutex, countBatchCondition, countHandOver);
    }
    Event2D* cursor = first;
    uint64_t left = static_cast<uint64_t>(last - first);
    while (left > 0) {
        const uint64_t room = size - countBatchPending.size();
        if (left > room) {
            countBatchPending.insert(countBatchPending.end(), cursor, cursor + room);
            handOver(countBatchReady, countBatchPending, countBatchMutex, countBatchCondition, countHandOver);
            cursor += room;
            left -= room;
        } else {
            countBatchPending.insert(countBatchPending.end(), cursor, last);
            left = 0;
        }
    }
}

void FusionCameraPrivate::batchByTime(Event2D* first, Event2D* last) {
    const uint64_t span = batchEventsTime.load();
    Event2D* cursor = first;
    uint64_t boundary = (timeBatchPending.empty() ? first->timestamp : timeBatchPending.front().timestamp) + span;
    while (cursor != last) {
        if ((last - 1)->timestamp <= boundary) {
            timeBatchPending.insert(timeBatchPending.end(), cursor, last);
            break;
        }
        Event2D* split = binarySearchTimestamp(boundary, cursor, last);
        timeBatchPending.insert(timeBatchPending.end(), cursor, split);
        handOver(timeBatchReady, timeBatchPending, timeBatchMutex, timeBatchCondition, timeHandOver);
        cursor = split;
        boundary += span;
    }
}

void FusionCameraPrivate::handOver(std::vector<Event2D>& ready, std::vector<Event2D>& pending, std::mutex& mutex,
                                   std::condition_variable& condition, HandOverState& state) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        // A batch not taken yet is replaced; the swap keeps both vectors' memory in use.
        ready.swap(pending);
        ++state.handOvers;
        state.untaken = true;
    }
    pending.clear();
    condition.notify_all();
}

bool FusionCameraPrivate::waitForBatch(std::vector<Event2D>& ready, std::mutex& mutex,
                                       std::condition_variable& condition, HandOverState& state,
                                       std::vector<Event2D>& out) {
    std::unique_lock<std::mutex> lock(mutex);
    const uint64_t seen = state.handOvers;
    const uint64_t releases = state.releases;
    const auto batchForMe = [&] { return state.untaken && state.handOvers != seen; };
    ++state.waiters;
    condition.wait(lock, [&] { return batchForMe() || state.releases != releases; });
    --state.waiters;
    if (!batchForMe()) {
        return false;
    }
    out.swap(ready);
    ready.clear();
    state.untaken = false;
    return true;
}

void FusionCameraPrivate::releaseWaiters(std::mutex& mutex, std::condition_variable& condition,
                                         HandOverState& state) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++state.releases;
    }
    condition.notify_all();
}

void FusionCameraPrivate::releaseBatchWaiters() {
    releaseWaiters(countBatchMutex, countBatchCondition, countHandOver);
    releaseWaiters(timeBatchMutex, timeBatchCondition, timeHandOver);
}

bool FusionCameraPrivate::getNextBatch(std::vector<Event2D>& out) {
    out.clear();
    int32_t mode = BATCH_NONE;
    {
        std::lock_guard<std::mutex> lock(batchModeMutex);
        mode = batchMode;
    }
    switch (mode) {
    case BATCH_BY_COUNT:
        return waitForBatch(countBatchReady, countBatchMutex, countBatchCondition, countHandOver, out);
    case BATCH_BY_TIME:
        return waitForBatch(timeBatchReady, timeBatchMutex, timeBatchCondition, timeHandOver, out);
    default:
        return false;
    }
}

} // namespace quelnor
