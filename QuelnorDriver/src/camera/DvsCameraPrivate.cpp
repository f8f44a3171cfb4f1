#include "QuelnorDriver/camera/DvsCameraPrivate.h"

#include <chrono>
#include <exception>
#include <optional>
#include <stdexcept>
#include <utility>

#include "QuelnorBase/Logger.h"
#include "QuelnorHal/interface/EthInterface.h"
#include "camera/CameraHold.h"

namespace quelnor {

namespace {

// The camera whose loop (or statistics thread) runs on the calling thread, if any.
thread_local const DvsCameraPrivate* cameraLoopOwner = nullptr;
thread_local const DvsCameraPrivate* statisticLoopOwner = nullptr;

} // namespace

DvsCameraPrivate::DvsCameraPrivate(CameraDescription description_) : DvsCamera(std::move(description_)) {
    fileInfo.serialNumber = description.serialNumber;
    batcher.close(); // no batch comes before a start
}

DvsCameraPrivate::~DvsCameraPrivate() {
    stopCamera();
    // A camera destroyed on one of its own threads (its last pointer dropped in a callback) cannot
    // wait for that thread: the thread only returns from here and touches nothing of the camera.
    if (cameraLoopThread.joinable()) {
        if (onCameraLoopThread()) {
            cameraLoopThread.detach();
        } else {
            cameraLoopThread.join();
        }
    }
    releaseStatisticThread();
    if (statisticThread.joinable()) {
        if (onStatisticThread()) {
            statisticThread.detach();
        } else {
            statisticThread.join();
        }
    }
}

void DvsCameraPrivate::releaseStatisticThread() {
    {
        std::lock_guard<std::mutex> lock(statisticWakeMutex);
        statisticFinal = true;
    }
    statisticWake.notify_all();
}

StreamLossInfo DvsCameraPrivate::getStreamLossInfo() const {
    StreamLossInfo info;
    fillEthernetLoss(info);
    if (const EventStream* stream = sensor ? sensor->getEventStream() : nullptr) {
        info.droppedBuffers = stream->getDroppedBuffers();
        info.droppedBytes = stream->getDroppedBytes();
    }
    return info;
}

void DvsCameraPrivate::fillEthernetLoss(StreamLossInfo& info) const {
    if (!interface || interface->getInterfaceType() != Interface::ETH) {
        return;
    }
    if (const auto* eth = dynamic_cast<const EthInterface*>(interface.get())) {
        const StreamLossInfo ethernet = eth->getStreamLossInfo();
        info.lostPackets = ethernet.lostPackets;
        info.lostBytes = ethernet.lostBytes;
        info.refusedDatagrams = ethernet.refusedDatagrams;
    }
}

// ---------------------------------------------------------------- callbacks

uint32_t DvsCameraPrivate::addEventsStreamHandleCallback(EventsCallback callback) {
    return eventCallbacks.add(std::move(callback));
}

bool DvsCameraPrivate::removeEventsStreamHandleCallback(uint32_t id) { return eventCallbacks.remove(id); }

uint32_t DvsCameraPrivate::addTriggerInCallback(TriggerInCallback callback) {
    return triggerCallbacks.add(std::move(callback));
}

bool DvsCameraPrivate::removeTriggerInCallback(uint32_t id) { return triggerCallbacks.remove(id); }

void DvsCameraPrivate::setStatisticInfoCallback(StatisticInfoCallback callback) {
    statisticCallback.set(std::move(callback));
}

void DvsCameraPrivate::eventStreamArrived(Event2D* first, Event2D* last) {
    batcher.batchEvents(first, last);
    eventCallbacks.callAll(first, last);
}

void DvsCameraPrivate::triggerInArrived(EventTriggerIn trigger) { triggerCallbacks.callAll(trigger); }

// ---------------------------------------------------------------- batches

void DvsCameraPrivate::setBatchEventsNum(uint64_t count) { batcher.setBatchEventsNum(count); }

void DvsCameraPrivate::setBatchEventsTime(uint64_t microseconds) { batcher.setBatchEventsTime(microseconds); }

bool DvsCameraPrivate::getNextBatch(std::vector<Event2D>& out) {
    if (onCameraLoopThread()) {
        // Only this thread hands batches over: the wait would never end.
        out.clear();
        return false;
    }
    return batcher.getNextBatch(out);
}

// ---------------------------------------------------------------- life cycle

int DvsCameraPrivate::start() {
    return startCamera([this] {
        if (sensor) {
            sensor->start();
        }
        return 0;
    });
}

int DvsCameraPrivate::startCamera(const std::function<int()>& startDevice) {
    if (!inited.load()) {
        throw std::runtime_error("Camera is not inited");
    }
    if (running.load() == 1) {
        return 0;
    }
    if (!releaseFinishedThreads()) {
        QN_ERROR("Camera %s cannot be started from its own thread before that thread has ended",
                 description.serialNumber.c_str());
        return -1;
    }
    recorder.setTimestampCallback([this] { return lastDecodedTimestamp.load(); });
    recorder.setFileInfo(fileInfo);
    if (startDevice() != 0) {
        return -1;
    }
    if (decoder) {
        // The first report covers this run only, not what the last stop drained.
        decoder->getDecodeEventCount();
        decoder->getDecodeDataBandwidth();
    }
    streamStopped.store(false);
    {
        std::lock_guard<std::mutex> lock(statisticWakeMutex);
        statisticFinal = false;
    }
    batcher.open();
    running.store(1);
    std::weak_ptr<DvsCameraPrivate> owner = weak_from_this();
    const bool owned = !owner.expired();
    // Each loop may stop the camera and so look at both thread objects: they begin only once both
    // are assigned.
    std::lock_guard<std::mutex> lock(threadStartMutex);
    cameraLoopThread = std::thread(&DvsCameraPrivate::cameraLoop, this, owner, owned);
    statisticThread = std::thread(&DvsCameraPrivate::statisticLoop, this, owner, owned);
    return 0;
}

int DvsCameraPrivate::stop() { return stopCamera(); }

int DvsCameraPrivate::stopCamera() {
    if (!inited.load() || running.exchange(0) == 0) {
        return 0;
    }
    // Waiters go now, and later calls return at once; also one on the statistics thread joined below.
    batcher.close();
    {
        std::lock_guard<std::mutex> lock(statisticWakeMutex);
    }
    statisticWake.notify_all();
    int result = 0;
    try {
        if (sensor) {
            sensor->stop();
        }
    } catch (const std::exception& e) {
        QN_ERROR("Stop camera failed: %s", e.what());
        result = -1;
    }
    // The loop finishes the buffer in hand, drops and counts what the stopped stream still holds, then ends.
    streamStopped.store(true);
    if (!onCameraLoopThread()) {
        if (cameraLoopThread.joinable()) {
            cameraLoopThread.join();
        }
        // Everything is decoded: the statistics thread reports the rest of the last second and ends.
        // Stopped from the loop itself, the loop releases it once it has drained the stream.
        releaseStatisticThread();
        if (statisticThread.joinable() && !onStatisticThread()) {
            statisticThread.join();
        }
    }
    if (result == 0) {
        QN_INFO("Stop camera successfully.");
    }
    return result;
}

bool DvsCameraPrivate::releaseFinishedThreads() {
    if ((cameraLoopThread.joinable() && onCameraLoopThread()) || (statisticThread.joinable() && onStatisticThread())) {
        return false;
    }
    // The loop of a run that ended by itself (after a loss) or was stopped from one of its own
    // callbacks may still be finishing.
    if (cameraLoopThread.joinable()) {
        cameraLoopThread.join();
    }
    releaseStatisticThread();
    if (statisticThread.joinable()) {
        statisticThread.join();
    }
    return true;
}

bool DvsCameraPrivate::onCameraLoopThread() const { return cameraLoopOwner == this; }

bool DvsCameraPrivate::onStatisticThread() const { return statisticLoopOwner == this; }

bool DvsCameraPrivate::deviceConnected() const { return interface && interface->isConnected(); }

void DvsCameraPrivate::releaseParts() {
    tools.clear();
    sensor.reset();
    decoder.reset();
    registerController.reset();
    interface.reset();
}

// The loop holds the camera (when a shared pointer owns it) only while it runs user code, and never
// touches the camera again once that hold was the last one.
void DvsCameraPrivate::cameraLoop(std::weak_ptr<DvsCameraPrivate> owner, bool owned) {
    cameraLoopOwner = this;
    {
        std::lock_guard<std::mutex> started(threadStartMutex);
    }
    bool lost = false;
    for (;;) {
        bool gapBefore = false;
        // Once a stop was asked for no further buffer is decoded: the stop waits for the one in hand only.
        std::optional<RawBuffer> buffer =
            sensor && running.load() == 1 ? sensor->getNextBuffer(gapBefore) : std::nullopt;
        if (buffer) {
            if (!detail::runHeld(owner, owned, [&] {
                    processBuffer(*buffer, gapBefore);
                    buffer.reset();
                })) {
                return;
            }
            continue;
        }
        if (running.load() == 0) {
            if (!streamStopped.load()) {
                std::this_thread::yield(); // the sensor is stopping; its stream may deliver more
                continue;
            }
            // The hold may be the last pointer: the camera then goes on this thread.
            detail::runHeld(owner, owned, [&] {
                // What the stopped stream still holds is dropped, and counted by the stream.
                if (EventStream* stream = sensor ? sensor->getEventStream() : nullptr) {
                    stream->dropQueued();
                }
                releaseStatisticThread();
                batcher.close();
                if (lost) {
                    QN_INFO("Loss connection to the camera, camera loop thread exited.");
                }
            });
            return;
        }
        if (!deviceConnected() && !detail::runHeld(owner, owned, [&] {
                lost = true;
                stopCamera();
            })) {
            return;
        }
    }
}

void DvsCameraPrivate::processBuffer(const RawBuffer& buffer, bool gapBefore) {
    if (recorder.isRecording()) {
        // The recorder may hold the buffer itself until it is on disk; decoding only reads it.
        recorder.writeData(buffer);
    }
    if (decoder) {
        if (gapBefore) {
            decoder->notifyGap();
        }
        decoder->decode(*buffer);
        lastDecodedTimestamp.store(decoder->getLastTimeStamp());
    }
}

void DvsCameraPrivate::statisticLoop(std::weak_ptr<DvsCameraPrivate> owner, bool owned) {
    statisticLoopOwner = this;
    {
        std::lock_guard<std::mutex> started(threadStartMutex);
    }
    for (;;) {
        bool last = false;
        {
            std::unique_lock<std::mutex> lock(statisticWakeMutex);
            statisticWake.wait_for(lock, std::chrono::milliseconds(STATISTIC_PERIOD_MS),
                                   [this] { return running.load() == 0; });
            if (running.load() == 0) {
                // The last report waits until the loop has decoded what the stopped stream held.
                statisticWake.wait(lock, [this] { return statisticFinal; });
                last = true;
            }
        }
        if (!statisticCallback.isSet() || !decoder) {
            if (last) {
                return;
            }
            continue;
        }
        const bool goOn = detail::runHeld(owner, owned, [&] {
            const QnStatisticInfo info = detail::decoderStatistics(*decoder);
            if (!last || info.dataBandwidth != 0 || info.eventCount != 0) {
                statisticCallback.call(info);
            }
        });
        if (!goOn || last) {
            return;
        }
    }
}

// ---------------------------------------------------------------- recording

int DvsCameraPrivate::startRecording(std::string path) {
    if (!inited.load()) {
        throw std::runtime_error("Camera is not inited");
    }
    if (recordingRunning.load()) {
        QN_ERROR("A recording is already running: %s not started", path.c_str());
        return -1;
    }
    fileInfo.dvsStartTimestamp = lastDecodedTimestamp.load();
    if (!recorder.startRecording(path, fileInfo)) {
        return -1;
    }
    recordingRunning.store(true);
    return 0;
}

void DvsCameraPrivate::setFileCacheTime(uint16_t seconds, std::string directory) {
    if (recordingRunning.load()) {
        QN_ERROR("The file cache cannot be changed while recording.");
        return;
    }
    recorder.setFileCacheTime(seconds, directory);
}

int DvsCameraPrivate::stopRecording() {
    const bool wasRecording = recordingRunning.exchange(false);
    // A refusal (an earlier append still copying) is no failure of this recording.
    recorder.stopRecording();
    return wasRecording && !recorder.isHealthy() ? -1 : 0;
}

bool DvsCameraPrivate::isRecordingHealthy() const { return recorder.isHealthy(); }


} // namespace quelnor
