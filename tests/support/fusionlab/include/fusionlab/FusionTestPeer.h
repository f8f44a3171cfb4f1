#pragma once

// What tests may see and do of a fusion camera beyond its public interface. Include
// "fusionlab/FusionTestPeer.h".

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "QuelnorDriver/camera/OndrikCameraBase.h"
#include "QuelnorHal/EventStream/EVT3Decoder.h"
#include "QuelnorHal/register/RegisterController.h"
#include "QuelnorHal/interface/Interface.h"
#include "QuelnorDriver/sensor/Imx415RegisterMap.h"
#include "cameralab/EventBatcherTestPeer.h"

namespace quelnor {

class FusionCameraTestPeer {
public:
    using FrameTiming = FusionCameraPrivate::FrameTiming;

    // What DvsCameraManager::openFusionCamera does to a camera.
    static int init(FusionCamera& camera) { return camera.init(); }

    // Threads waiting in getNextBatch for a batch by count, or by time.
    static size_t countBatchWaiters(FusionCamera& camera) {
        return EventBatcherTestPeer::countWaiters(dynamic_cast<FusionCameraPrivate&>(camera).batcher);
    }
    static size_t timeBatchWaiters(FusionCamera& camera) {
        return EventBatcherTestPeer::timeWaiters(dynamic_cast<FusionCameraPrivate&>(camera).batcher);
    }

    // Hands a decoded block to the camera as its decoder does (only while no stream thread decodes).
    static void feedEvents(FusionCamera& camera, std::vector<Event2D> events) {
        auto& c = dynamic_cast<OndrikCameraBase&>(camera);
        c.eventStreamArrived(events.data(), events.data() + events.size());
    }
    static void feedTrigger(FusionCamera& camera, EventTriggerIn trigger) {
        dynamic_cast<OndrikCameraBase&>(camera).triggerInArrived(trigger);
    }
    // Hands one buffer of the frame sensor to the camera as its frame-stream thread does.
    static void feedFrameBuffer(FusionCamera& camera, const std::vector<uint8_t>& buffer) {
        dynamic_cast<OndrikCameraBase&>(camera).assembleFrame(buffer);
    }

    // Batches (only while no stream thread decodes).
    static std::vector<Event2D> countReady(FusionCamera& camera) {
        return EventBatcherTestPeer::countReady(dynamic_cast<FusionCameraPrivate&>(camera).batcher);
    }
    static std::vector<Event2D> timeReady(FusionCamera& camera) {
        return EventBatcherTestPeer::timeReady(dynamic_cast<FusionCameraPrivate&>(camera).batcher);
    }
    static std::vector<Event2D> countPending(FusionCamera& camera) {
        return EventBatcherTestPeer::countPending(dynamic_cast<FusionCameraPrivate&>(camera).batcher);
    }
    static std::vector<Event2D> timePending(FusionCamera& camera) {
        return EventBatcherTestPeer::timePending(dynamic_cast<FusionCameraPrivate&>(camera).batcher);
    }

    // The pairing queues.
    static std::deque<FrameTiming> timings(FusionCamera& camera) {
        auto& c = dynamic_cast<FusionCameraPrivate&>(camera);
        std::lock_guard<std::mutex> lock(c.queueMutex);
        return c.timingQueue;
    }
    static size_t queuedFrames(FusionCamera& camera) {
        auto& c = dynamic_cast<FusionCameraPrivate&>(camera);
        std::lock_guard<std::mutex> lock(c.queueMutex);
        return c.frameQueue.size();
    }
    static std::deque<std::vector<uint8_t>> frameQueue(FusionCamera& camera) {
        auto& c = dynamic_cast<FusionCameraPrivate&>(camera);
        std::lock_guard<std::mutex> lock(c.queueMutex);
        std::deque<std::vector<uint8_t>> copies;
        for (const auto& frame : c.frameQueue) {
            copies.push_back(*frame.buffer);
        }
        return copies;
    }
    static uint64_t triggerCount(FusionCamera& camera) {
        return dynamic_cast<FusionCameraPrivate&>(camera).triggerCount.load();
    }
    static uint64_t apsFrameCount(FusionCamera& camera) {
        return dynamic_cast<FusionCameraPrivate&>(camera).apsFrameCount.load();
    }
    // The raw writer has written its header and takes the event stream's buffers.
    static bool rawRecordingActive(FusionCamera& camera) {
        return dynamic_cast<OndrikCameraBase&>(camera).dvsRecording.load();
    }
    // Frames and timing are queued for pairing as while a fused stream runs.
    static void setPairing(FusionCamera& camera, bool on) {
        auto& c = dynamic_cast<OndrikCameraBase&>(camera);
        std::lock_guard<std::mutex> lock(c.queueMutex);
        c.fusionActive.store(on);
        c.framePairingOpen = on;
    }
    // What pairing lost so far: frames pushed out, frames broken or of the wrong size, frames delivered
    // untimed, timings no frame claimed.
    struct PairingLosses {
        uint64_t droppedFrames = 0;
        uint64_t lostFrames = 0;
        uint64_t untimedFrames = 0;
        uint64_t discardedTimings = 0;
    };
    static PairingLosses pairingLosses(FusionCamera& camera) {
        auto& c = dynamic_cast<OndrikCameraBase&>(camera);
        std::lock_guard<std::mutex> lock(c.queueMutex);
        return {c.droppedApsFrames, c.lostApsFrames, c.untimedApsFrames, c.discardedTimings};
    }
    // USB cameras join frames cut into pieces; MIPI cameras take every buffer as one frame.
    static void setFrameAssembly(FusionCamera& camera, bool on) {
        dynamic_cast<OndrikCameraBase&>(camera).assembleFrames = on;
    }

    // For a camera that was never opened: the frame-sensor tool over `board` (its board registers) and
    // an EVT3 decoder bound to the camera as init binds it, so frame timing can be followed without
    // threads. Returns the decoder.
    static Decoder& wireTiming(FusionCamera& camera, std::shared_ptr<Interface> board) {
        auto& c = dynamic_cast<OndrikCameraBase&>(camera);
        c.apsRegisterController =
            std::make_shared<RegisterController>(board, IMX415_REGISTER_MAP, IMX415_REGISTER_MAP_SIZE, " ");
        c.apsCtrlTool = std::make_shared<Imx415ApsCtrl>(c.apsRegisterController);
        c.decoder = std::make_unique<EVT3Decoder>(1280, 720);
        c.decoder->setFlipX(true);
        c.decoder->setEventsStreamHandleCallback(
            [&c](Event2D* first, Event2D* last) { c.eventStreamArrived(first, last); });
        c.decoder->setSharedEventsStreamHandleCallback(
            [&c](std::shared_ptr<std::vector<Event2D>> events) { c.sharedEventStreamArrived(std::move(events)); });
        c.decoder->setTriggerInCallback([&c](EventTriggerIn trigger) { c.triggerInArrived(trigger); });
        return *c.decoder;
    }
    // Raw recording chunks go to the writer once they hold more than `bytes` (set before the recording).
    static void setRawChunkBytes(FusionCamera& camera, size_t bytes) {
        dynamic_cast<OndrikCameraBase&>(camera).dvsChunkBytes = bytes;
    }
    // The recordings' memory limits (set before the recording starts).
    static void setRecordLimits(FusionCamera& camera, size_t rawBytes, size_t mp4Frames) {
        auto& c = dynamic_cast<OndrikCameraBase&>(camera);
        c.rawQueueLimitBytes = rawBytes;
        c.mp4QueueLimitFrames = mp4Frames;
    }
    // Raw bytes handed to the writer and not yet written.
    static size_t rawPendingBytes(FusionCamera& camera) {
        auto& c = dynamic_cast<OndrikCameraBase&>(camera);
        std::lock_guard<std::mutex> lock(c.dvsChunkMutex);
        return c.dvsPendingBytes;
    }
    // Frames waiting for the MP4 encoder, and the frames the recording dropped.
    static size_t mp4QueuedFrames(FusionCamera& camera) {
        auto& c = dynamic_cast<OndrikCameraBase&>(camera);
        std::lock_guard<std::mutex> lock(c.apsRecordMutex);
        return c.apsRecordQueue.size();
    }
    static uint64_t mp4DroppedFrames(FusionCamera& camera) {
        auto& c = dynamic_cast<OndrikCameraBase&>(camera);
        std::lock_guard<std::mutex> lock(c.apsRecordMutex);
        return c.apsRecordDroppedFrames;
    }
    // Hands data to the recordings as the event-stream thread and the fusion thread do (only while
    // those threads do not run).
    static void recordRaw(FusionCamera& camera, std::vector<uint8_t> bytes) {
        dynamic_cast<OndrikCameraBase&>(camera).prepareDvsData2Save(bytes);
    }
    static void recordFrame(FusionCamera& camera, const std::vector<uint8_t>& frame, uint64_t exposureEnd) {
        dynamic_cast<OndrikCameraBase&>(camera).prepareApsData2Save(frame.data(), static_cast<uint32_t>(frame.size()),
                                                                     exposureEnd);
    }
    // While held, the MP4 writer cannot encode: a stalled encoder.
    static std::unique_lock<std::mutex> holdEncoder(FusionCamera& camera) {
        return std::unique_lock<std::mutex>(dynamic_cast<OndrikCameraBase&>(camera).recordConverterMutex);
    }
    // The camera's byte-order step and decoder on one raw buffer, as its event-stream thread runs them.
    static void decode(FusionCamera& camera, std::vector<uint8_t> bytes) {
        auto& c = dynamic_cast<OndrikCameraBase&>(camera);
        c.processDvsBuffer(bytes, false);
    }
};

} // namespace quelnor
