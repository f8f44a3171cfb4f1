#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "QuelnorBase/Event2D.h"
#include "QuelnorBase/ObjectPool.h"
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
    static constexpr uint64_t DEFAULT_BATCH_EVENTS_NUM = 131072;
    static constexpr uint64_t DEFAULT_BATCH_EVENTS_TIME_US = 10000;

    enum BatchMode : int32_t {
        BATCH_NONE = 0,
        BATCH_BY_COUNT = 1,
        BATCH_BY_TIME = 2,
    };

    // The exposure of one frame in event time (microseconds); 0 to 0 when it is not known.
    struct FrameTiming {
        uint64_t exposureStart = 0;
        uint64_t exposureEnd = 0;
    };

    using FrameBuffer = std::shared_ptr<std::vector<uint8_t>>;
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
    std::unordered_map<uint32_t, EventsCallback> eventCallbacks;
    uint32_t nextEventCallbackId = 0;
    std::mutex eventCallbackMutex;
    std::unordered_map<uint32_t, SharedEventsCallback> sharedEventCallbacks;
    uint32_t nextSharedEventCallbackId = 0;
    std::mutex sharedEventCallbackMutex;
    std::unordered_map<uint32_t, SyncSignalCallback> syncSignalCallbacks;
    uint32_t nextSyncSignalCallbackId = 0;
    std::mutex syncSignalCallbackMutex;
    int32_t batchMode = BATCH_NONE;
    std::mutex batchModeMutex;
    std::atomic<uint64_t> batchEventsNum{DEFAULT_BATCH_EVENTS_NUM};
    std::atomic<uint64_t> batchEventsTime{DEFAULT_BATCH_EVENTS_TIME_US};
    // Only the event-stream thread touches the pending batches; a ready batch only under its mutex.
    std::vector<Event2D> countBatchReady;
    std::vector<Event2D> countBatchPending;
    std::mutex countBatchMutex;
    std::condition_variable countBatchCondition;
    std::vector<Event2D> timeBatchReady;
    std::vector<Event2D> timeBatchPending;
    std::mutex timeBatchMutex;
    std::condition_variable timeBatchCondition;
    // Frames and their timing on the way to the fusion thread, paired in arrival order; under queueMutex.
    std::deque<FrameTiming> timingQueue;
    std::unique_ptr<BufferPool> frameBufferPool;
    std::deque<FrameBuffer> frameQueue;
    // The frame being assembled from the frame sensor's buffers; under frameBufferMutex.
    FrameBuffer currentFrameBuffer;
    std::mutex frameBufferMutex;
    std::mutex queueMutex;
    std::condition_variable fusionCondition;
    std::atomic<uint64_t> triggerCount{0};
    std::atomic<uint64_t> apsFrameCount{0};

private:
    // The hand-over state of one batch mode, guarded by that mode's batch mutex. A waiter takes a batch
    // only when it was handed over after its call began, and each batch goes to one waiter.
    struct HandOverState {
        uint64_t handOvers = 0; // batches handed over so far
        bool untaken = false;   // the ready batch has not been taken yet
        uint64_t releases = 0;  // stops that released the waiters
        size_t waiters = 0;     // threads waiting in getNextBatch
    };

    friend class FusionCameraTestPeer;

    void batchByCount(Event2D* first, Event2D* last);
    void batchByTime(Event2D* first, Event2D* last);
    static void handOver(std::vector<Event2D>& ready, std::vector<Event2D>& pending, std::mutex& mutex,
                         std::condition_variable& condition, HandOverState& state);
    static bool waitForBatch(std::vector<Event2D>& ready, std::mutex& mutex, std::condition_variable& condition,
                             HandOverState& state, std::vector<Event2D>& out);
    static void releaseWaiters(std::mutex& mutex, std::condition_variable& condition, HandOverState& state);

    HandOverState countHandOver;
    HandOverState timeHandOver;
};

} // namespace quelnor
