#include "QuelnorDriver/camera/FusionCameraPrivate.h"

#include <utility>

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
    return eventCallbacks.add(std::move(callback));
}

uint32_t FusionCameraPrivate::addSharedEventsStreamHandleCallback(SharedEventsCallback callback) {
    return sharedEventCallbacks.add(std::move(callback));
}

bool FusionCameraPrivate::removeEventsStreamHandleCallback(uint32_t id) { return eventCallbacks.remove(id); }

bool FusionCameraPrivate::removeSharedEventsStreamHandleCallback(uint32_t id) {
    return sharedEventCallbacks.remove(id);
}

uint32_t FusionCameraPrivate::addSyncSignalCallback(SyncSignalCallback callback) {
    return syncSignalCallbacks.add(std::move(callback));
}

bool FusionCameraPrivate::removeSyncSignalCallback(uint32_t id) { return syncSignalCallbacks.remove(id); }

void FusionCameraPrivate::clearStreamCallbacks() {
    eventCallbacks.clear();
    sharedEventCallbacks.clear();
    syncSignalCallbacks.clear();
}

void FusionCameraPrivate::sharedEventStreamArrived(std::shared_ptr<std::vector<Event2D>> events) {
    // No lock held: a callback may add or remove shared-event callbacks.
    for (const SharedEventsCallback& callback : sharedEventCallbacks.snapshot()) {
        callback(events);
    }
}

void FusionCameraPrivate::callEventCallbacks(Event2D* first, Event2D* last) { eventCallbacks.callAll(first, last); }

void FusionCameraPrivate::callSyncSignalCallbacks(const EventTriggerIn& trigger) {
    syncSignalCallbacks.callAll(trigger);
}

// ---------------------------------------------------------------- batches

void FusionCameraPrivate::setBatchEventsNum(uint64_t count) { batcher.setBatchEventsNum(count); }

void FusionCameraPrivate::setBatchEventsTime(uint64_t microseconds) { batcher.setBatchEventsTime(microseconds); }

void FusionCameraPrivate::batchEvents(Event2D* first, Event2D* last) { batcher.batchEvents(first, last); }

void FusionCameraPrivate::releaseBatchWaiters() { batcher.releaseWaiters(); }

bool FusionCameraPrivate::getNextBatch(std::vector<Event2D>& out) { return batcher.getNextBatch(out); }

} // namespace quelnor
