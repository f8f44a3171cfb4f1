#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "QuelnorBase/DvsFileInfo.h"
#include "QuelnorBase/Event2D.h"
#include "QuelnorBase/EventTriggerIn.h"
#include "QuelnorBase/QnStatisticInfo.h"
#include "QuelnorDriver/FileRecorder/DvsFileRecorder.h"
#include "QuelnorDriver/camera/CallbackRegistry.h"
#include "QuelnorDriver/camera/CallbackSlot.h"
#include "QuelnorDriver/camera/DvsCamera.h"
#include "QuelnorDriver/camera/EventBatcher.h"
#include "QuelnorDriver/sensor/Sensor.h"
#include "QuelnorHal/EventStream/Decoder.h"
#include "QuelnorHal/EventStream/RawEventStreamFormat.h"
#include "QuelnorHal/interface/Interface.h"
#include "QuelnorHal/register/RegisterController.h"

namespace quelnor {

class DvsCameraPrivateTestPeer;

// What every event camera does whatever it is attached by: the callback tables, batching, the
// camera-loop and statistics threads, and recording. DvsEventCamera adds the device.
//
// The camera loop takes each raw buffer from the sensor's event stream, hands it to the recorder
// while one records, then to the decoder, whose callbacks (batching, then the user's event and
// trigger callbacks) run inside that call on the loop's thread. When a stop is asked for, the loop
// finishes the buffer in hand and decodes no more; what the stream still holds once the sensor has
// stopped it is dropped and counted (getStreamLossInfo), so a stop never waits for a backlog.
//
// Threads: see DvsCamera. Owned by a shared pointer (as the manager makes every camera), the camera
// keeps itself alive while its loops run user code, so dropping the last pointer inside a callback
// destroys it on that thread once the callback has returned.
class DvsCameraPrivate : public DvsCamera, public std::enable_shared_from_this<DvsCameraPrivate> {
public:
    static constexpr uint64_t DEFAULT_BATCH_EVENTS_NUM = EventBatcher::DEFAULT_BATCH_EVENTS_NUM;
    static constexpr uint64_t DEFAULT_BATCH_EVENTS_TIME_US = EventBatcher::DEFAULT_BATCH_EVENTS_TIME_US;
    static constexpr int STATISTIC_PERIOD_MS = 1000;

    using BatchMode = EventBatcher::BatchMode;
    static constexpr BatchMode BATCH_NONE = EventBatcher::BATCH_NONE;
    static constexpr BatchMode BATCH_BY_COUNT = EventBatcher::BATCH_BY_COUNT;
    static constexpr BatchMode BATCH_BY_TIME = EventBatcher::BATCH_BY_TIME;

    explicit DvsCameraPrivate(CameraDescription description);
    // Stops the camera as stop() does. Buffers still queued when the camera is destroyed are dropped.
    ~DvsCameraPrivate() override;
    DvsCameraPrivate(const DvsCameraPrivate&) = delete;
    DvsCameraPrivate& operator=(const DvsCameraPrivate&) = delete;
    DvsCameraPrivate(DvsCameraPrivate&&) = delete;
    DvsCameraPrivate& operator=(DvsCameraPrivate&&) = delete;

    uint32_t addEventsStreamHandleCallback(EventsCallback callback) override;
    bool removeEventsStreamHandleCallback(uint32_t id) override;
    uint32_t addTriggerInCallback(TriggerInCallback callback) override;
    bool removeTriggerInCallback(uint32_t id) override;

    bool getNextBatch(std::vector<Event2D>& out) override;
    // 0 is taken as 1.
    void setBatchEventsNum(uint64_t count) override;
    // 0 is taken as 1.
    void setBatchEventsTime(uint64_t microseconds) override;

    // Starts the sensor (its result is not looked at here), then the loops. Refused (-1) when called
    // from one of this camera's own threads before that thread has ended.
    int start() override;
    int stop() override;

    int startRecording(std::string path) override;
    void setFileCacheTime(uint16_t seconds, std::string directory) override;
    // -1 when the recording met a failed write or close (see DvsFileRecorder), 0 otherwise.
    int stopRecording() override;
    bool isRecordingHealthy() const override;
    // Since the last start: for Ethernet cameras the interface's lost packets, lost bytes and refused
    // datagrams; for every camera the buffers (and bytes) the event stream dropped, for a consumer that
    // fell behind and what was still queued at a stop. Any thread except during init; a few atomic reads.
    StreamLossInfo getStreamLossInfo() const override;

    // Also reports, once the camera has stopped and decoded all it received, the part of the last
    // second not reported yet, so the reports of a run add up to everything decoded in it.
    void setStatisticInfoCallback(StatisticInfoCallback callback) override;

protected:
    // start() with the device's own start step: startDevice runs after the recorder is set up and
    // before the loops start; a non-zero result makes start fail with -1 and nothing else started.
    int startCamera(const std::function<int()>& startDevice);
    // The interface exists and reports connected. Not virtual: the camera loop asks it while a
    // derived destructor may be running.
    bool deviceConnected() const;
    // Drops the parts an earlier init attempt built, the sensor before the interface.
    void releaseParts();
    // The decoder's callbacks.
    void eventStreamArrived(Event2D* first, Event2D* last);
    void triggerInArrived(EventTriggerIn trigger);

    CallbackRegistry<EventsCallback> eventCallbacks;
    CallbackRegistry<TriggerInCallback> triggerCallbacks;
    // Fed by the camera loop.
    EventBatcher batcher;
    std::shared_ptr<RegisterController> registerController;
    std::unique_ptr<Decoder> decoder;
    std::shared_ptr<Interface> interface;
    Interface::InterfaceInitInfo interfaceInitInfo{};
    std::thread cameraLoopThread;
    std::atomic<bool> inited{false};
    std::atomic<int32_t> running{0};
    DvsFileInfo fileInfo;
    // The decoder's last time stamp after the buffer decoded last; read by the recorder's threads,
    // so it lives longer than the recorder.
    std::atomic<uint64_t> lastDecodedTimestamp{0};
    DvsFileRecorder recorder;
    std::unique_ptr<Sensor> sensor;
    std::thread statisticThread;
    CallbackSlot<StatisticInfoCallback> statisticCallback;

private:
    friend class DvsCameraPrivateTestPeer;

    virtual RawEventStreamFormat getRawEventStreamFormat() = 0;

    int stopCamera();
    void cameraLoop(std::weak_ptr<DvsCameraPrivate> owner, bool owned);
    void statisticLoop(std::weak_ptr<DvsCameraPrivate> owner, bool owned);
    // Hands one raw buffer to the recorder (while it records) and the decoder.
    void processBuffer(const RawBuffer& buffer, bool gapBefore);
    // Joins the loop threads of an earlier run (false when the caller is one of them).
    bool releaseFinishedThreads();
    bool onCameraLoopThread() const;
    bool onStatisticThread() const;

    // Set once the sensor has stopped its stream after a stop was asked for.
    std::atomic<bool> streamStopped{false};
    std::atomic<bool> recordingRunning{false};
    // Held by start while it assigns the loop threads, which wait for it before they begin.
    std::mutex threadStartMutex;
    // Wakes the statistics thread early when the camera stops.
    std::mutex statisticWakeMutex;
    std::condition_variable statisticWake;
    // Set (under statisticWakeMutex) once the camera loop has decoded what the stopped stream held:
    // the statistics thread then makes its last report.
    bool statisticFinal = false;
    void releaseStatisticThread();
    // The loss fields an Ethernet interface counts.
    void fillEthernetLoss(StreamLossInfo& info) const;
};

} // namespace quelnor
