#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "QuelnorBase/Event2D.h"
#include "QuelnorBase/ObjectPool.h"
#include "QuelnorDriver/camera/CallbackRegistry.h"
#include "QuelnorDriver/camera/EventBatcher.h"
#include "QuelnorDriver/camera/FusionCamera.h"

namespace quelnor {

// What every fusion camera shares whatever it is attached by: the event, shared-event and sync-signal
// callback tables, event batching, and the queues and pools its stream threads hand frames and frame
// timing through. OndrikCameraBase adds the device and the threads.
//
// Threads: see FusionCamera. Owned by a shared pointer (as the manager makes every camera), the camera
// keeps itself alive while its threads run user code.
class FusionCameraPrivate : public FusionCamera, public std::enable_shared_from_this<FusionCameraPrivate> {
public:
    static constexpr int32_t DEFAULT_APS_WIDTH = 3840;
    static constexpr int32_t DEFAULT_APS_HEIGHT = 2160;
    static constexpr int32_t DEFAULT_DVS_WIDTH = 1280;
    static constexpr int32_t DEFAULT_DVS_HEIGHT = 720;
    static constexpr uint64_t DEFAULT_BATCH_EVENTS_NUM = EventBatcher::DEFAULT_BATCH_EVENTS_NUM;
    static constexpr uint64_t DEFAULT_BATCH_EVENTS_TIME_US = EventBatcher::DEFAULT_BATCH_EVENTS_TIME_US;

    using BatchMode = EventBatcher::BatchMode;
    static constexpr BatchMode BATCH_NONE = EventBatcher::BATCH_NONE;
    static constexpr BatchMode BATCH_BY_COUNT = EventBatcher::BATCH_BY_COUNT;
    static constexpr BatchMode BATCH_BY_TIME = EventBatcher::BATCH_BY_TIME;

    // The exposure of one frame in event time (microseconds); 0 to 0 when it is not known. `sequence`
    // numbers the exposures since pairing began (1 for the first), so it names the frame it belongs to.
    struct FrameTiming {
        uint64_t exposureStart = 0;
        uint64_t exposureEnd = 0;
        uint64_t sequence = 0;
    };

    using FrameBuffer = std::shared_ptr<std::vector<uint8_t>>;

    // A whole frame waiting for its timing; `sequence` counts every frame the frame sensor delivered
    // since pairing began, broken ones included (1 for the first).
    struct QueuedFrame {
        FrameBuffer buffer;
        uint64_t sequence = 0;
    };
    using BufferPool = ObjectPool<std::vector<uint8_t>>;

    explicit FusionCameraPrivate(CameraDescription description);
    ~FusionCameraPrivate() override;
    FusionCameraPrivate(const FusionCameraPrivate&) = delete;
    FusionCameraPrivate& operator=(const FusionCameraPrivate&) = delete;
    FusionCameraPrivate(FusionCameraPrivate&&) = delete;
    FusionCameraPrivate& operator=(FusionCameraPrivate&&) = delete;

    uint32_t addEventsStreamHandleCallback(EventsCallback callback) override;
    uint32_t addSharedEventsStreamHandleCallback(SharedEventsCallback callback) override;
    bool removeEventsStreamHandleCallback(uint32_t id) override;
    bool removeSharedEventsStreamHandleCallback(uint32_t id) override;
    uint32_t addSyncSignalCallback(SyncSignalCallback callback) override;
    bool removeSyncSignalCallback(uint32_t id) override;

    bool getNextBatch(std::vector<Event2D>& out) override;
    // 0 is taken as 1.
    void setBatchEventsNum(uint64_t count) override;
    // 0 is taken as 1.
    void setBatchEventsTime(uint64_t microseconds) override;

protected:
    // A pool of `count` empty vectors with room for `capacity` bytes each, making more when it runs dry.
    // The room is reserved, not written, so memory is committed only as buffers are filled.
    static std::unique_ptr<BufferPool> makeBufferPool(size_t count, size_t capacity);

    // The decoder's shared-block callback: calls every shared-event callback without holding a lock.
    void sharedEventStreamArrived(std::shared_ptr<std::vector<Event2D>> events);
    // Batches one decoded block by the current batch mode (event-stream thread).
    void batchEvents(Event2D* first, Event2D* last);
    // Calls every event callback with the block, under the event callbacks' lock.
    void callEventCallbacks(Event2D* first, Event2D* last);
    // Calls every sync-signal callback with the trigger, under the sync callbacks' lock.
    void callSyncSignalCallbacks(const EventTriggerIn& trigger);
    // Releases every getNextBatch waiter (a stop).
    void releaseBatchWaiters();
    // Forgets every event, shared-event and sync-signal callback; the ids keep counting.
    void clearStreamCallbacks();

    int32_t apsWidth = DEFAULT_APS_WIDTH;
    int32_t apsHeight = DEFAULT_APS_HEIGHT;
    int32_t dvsWidth = DEFAULT_DVS_WIDTH;
    int32_t dvsHeight = DEFAULT_DVS_HEIGHT;
    CallbackRegistry<EventsCallback> eventCallbacks;
    CallbackRegistry<SharedEventsCallback> sharedEventCallbacks;
    CallbackRegistry<SyncSignalCallback> syncSignalCallbacks;
    // Fed by the event-stream thread.
    EventBatcher batcher;
    // Frames and their timing on the way to the fusion thread, paired by sequence; under queueMutex.
    std::deque<FrameTiming> timingQueue;
    std::unique_ptr<BufferPool> frameBufferPool;
    std::deque<QueuedFrame> frameQueue;
    // The frame being assembled from the frame sensor's buffers; under frameBufferMutex.
    FrameBuffer currentFrameBuffer;
    std::mutex frameBufferMutex;
    std::mutex queueMutex;
    std::condition_variable fusionCondition;
    std::atomic<uint64_t> triggerCount{0};
    std::atomic<uint64_t> apsFrameCount{0};

private:
    friend class FusionCameraTestPeer;
};

} // namespace quelnor
