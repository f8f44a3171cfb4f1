#include "QuelnorDriver/camera/DvsCameraPrivate.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <optional>
#include <stdexcept>
#include <utility>

#include "QuelnorBase/Logger.h"
#include "QuelnorHal/EventStream/BinarySearchTimestamp.h"

namespace quelnor {

namespace {

// The camera whose loop (or statistics thread) runs on the calling thread, if any.
thread_local const DvsCameraPrivate* cameraLoopOwner = nullptr;
thread_local const DvsCameraPrivate* statisticLoopOwner = nullptr;

} // namespace

DvsCameraPrivate::DvsCameraPrivate(CameraDescription description_) : DvsCamera(std::move(description_)) {
    fileInfo.serialNumber = description.serialNumber;
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
    if (statisticThread.joinable()) {
        if (onStatisticThread()) {
            statisticThread.detach();
        } else {
            statisticThread.join();
        }
    }
}

// ---------------------------------------------------------------- callbacks

uint32_t DvsCameraPrivate::addEventsStreamHandleCallback(EventsCallback callback) {
    std::lock_guard<std::mutex> lock(eventCallbackMutex);
    const uint32_t id = nextEventCallbackId++;
    eventCallbacks.emplace(id, std::move(callback));
    return id;
}

bool DvsCameraPrivate::removeEventsStreamHandleCallback(uint32_t id) {
    std::lock_guard<std::mutex> lock(eventCallbackMutex);
    return eventCallbacks.erase(id) > 0;
}

uint32_t DvsCameraPrivate::addTriggerInCallback(TriggerInCallback callback) {
    std::lock_guard<std::mutex> lock(triggerCallbackMutex);
    const uint32_t id = nextTriggerCallbackId++;
    triggerCallbacks.emplace(id, std::move(callback));
    return id;
}

bool DvsCameraPrivate::removeTriggerInCallback(uint32_t id) {
    std::lock_guard<std::mutex> lock(triggerCallbackMutex);
    return triggerCallbacks.erase(id) > 0;
}

void DvsCameraPrivate::setStatisticInfoCallback(StatisticInfoCallback callback) {
    std::lock_guard<std::mutex> lock(statisticCallbackMutex);
    statisticCallback = std::move(callback);
}

void DvsCameraPrivate::eventStreamArrived(Event2D* first, Event2D* last) {
    int32_t mode = BATCH_NONE;
    {
        std::lock_guard<std::mutex> lock(batchModeMutex);
        mode = batchMode;
    }
    if (first != last) {
        if (mode == BATCH_BY_COUNT) {
            batchByCount(first, last);
        } else if (mode == BATCH_BY_TIME) {
            batchByTime(first, last);
        }
    }
    std::lock_guard<std::mutex> lock(eventCallbackMutex);
    for (auto& [id, callback] : eventCallbacks) {
        callback(first, last);
    }
}

void DvsCameraPrivate::triggerInArrived(EventTriggerIn trigger) {
    std::lock_guard<std::mutex> lock(triggerCallbackMutex);
    for (auto& [id, callback] : triggerCallbacks) {
        callback(trigger);
    }
}

// ---------------------------------------------------------------- batches

void DvsCameraPrivate::setBatchEventsNum(uint64_t count) {
    batchEventsNum.store(std::max<uint64_t>(count, 1));
    std::lock_guard<std::mutex> lock(batchModeMutex);
    batchMode = BATCH_BY_COUNT;
}

void DvsCameraPrivate::setBatchEventsTime(uint64_t microseconds) {
    batchEventsTime.store(std::max<uint64_t>(microseconds, 1));
    std::lock_guard<std::mutex> lock(batchModeMutex);
    batchMode = BATCH_BY_TIME;
}

void DvsCameraPrivate::batchByCount(Event2D* first, Event2D* last) {
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

void DvsCameraPrivate::batchByTime(Event2D* first, Event2D* last) {
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

void DvsCameraPrivate::handOver(std::vector<Event2D>& ready, std::vector<Event2D>& pending, std::mutex& mutex,
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

bool DvsCameraPrivate::waitForBatch(std::vector<Event2D>& ready, std::mutex& mutex,
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

void DvsCameraPrivate::releaseWaiters(std::mutex& mutex, std::condition_variable& condition, HandOverState& state) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++state.releases;
    }
    condition.notify_all();
}

void DvsCameraPrivate::releaseBatchWaiters() {
    releaseWaiters(countBatchMutex, countBatchCondition, countHandOver);
    releaseWaiters(timeBatchMutex, timeBatchCondition, timeHandOver);
}

bool DvsCameraPrivate::getNextBatch(std::vector<Event2D>& out) {
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
    drainAfterStop.store(false);
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
    {
        std::lock_guard<std::mutex> lock(statisticWakeMutex);
    }
    statisticWake.notify_all();
    int result = 0;
    try {
        if (statisticThread.joinable() && !onStatisticThread()) {
            statisticThread.join();
        }
        if (sensor) {
            drainAfterStop.store(sensor->stop() == 0);
        }
    } catch (const std::exception& e) {
        QN_ERROR("Stop camera failed: %s", e.what());
        result = -1;
    }
    // The loop decodes what the stopped stream still holds, then ends.
    streamStopped.store(true);
    if (!onCameraLoopThread() && cameraLoopThread.joinable()) {
        cameraLoopThread.join();
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
        std::optional<RawBuffer> buffer = sensor ? sensor->getNextBuffer() : std::nullopt;
        if (buffer) {
            std::shared_ptr<DvsCameraPrivate> hold = owner.lock();
            if (owned && !hold) {
                return; // being destroyed on another thread, which waits for this one
            }
            processBuffer(**buffer);
            buffer.reset();
            hold.reset();
            if (owned && owner.expired()) {
                return;
            }
            continue;
        }
        if (running.load() == 0) {
            if (!streamStopped.load()) {
                std::this_thread::yield(); // the sensor is stopping; its stream may deliver more
                continue;
            }
            std::shared_ptr<DvsCameraPrivate> hold = owner.lock();
            if (owned && !hold) {
                return;
            }
            if (drainAfterStop.load()) {
                drainStoppedStream();
            }
            releaseBatchWaiters();
            if (lost) {
                QN_INFO("Loss connection to the camera, camera loop thread exited.");
            }
            return; // hold may be the last pointer: the camera then goes with this frame
        }
        if (!deviceConnected()) {
            std::shared_ptr<DvsCameraPrivate> hold = owner.lock();
            if (owned && !hold) {
                return;
            }
            lost = true;
            stopCamera();
            hold.reset();
            if (owned && owner.expired()) {
                return;
            }
        }
    }
}

void DvsCameraPrivate::processBuffer(std::vector<uint8_t>& buffer) {
    if (recorder.isRecording()) {
        recorder.writeData(buffer);
    }
    if (decoder) {
        decoder->decode(buffer);
        lastDecodedTimestamp.store(decoder->getLastTimeStamp());
    }
}

void DvsCameraPrivate::drainStoppedStream() {
    if (!sensor) {
        return;
    }
    while (std::optional<RawBuffer> buffer = sensor->getNextBuffer()) {
        processBuffer(**buffer);
    }
}

void DvsCameraPrivate::statisticLoop(std::weak_ptr<DvsCameraPrivate> owner, bool owned) {
    statisticLoopOwner = this;
    {
        std::lock_guard<std::mutex> started(threadStartMutex);
    }
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(statisticWakeMutex);
            statisticWake.wait_for(lock, std::chrono::milliseconds(STATISTIC_PERIOD_MS),
                                   [this] { return running.load() == 0; });
        }
        if (running.load() == 0) {
            return;
        }
        StatisticInfoCallback callback;
        {
            std::lock_guard<std::mutex> lock(statisticCallbackMutex);
            callback = statisticCallback;
        }
        if (!callback || !decoder) {
            continue;
        }
        std::shared_ptr<DvsCameraPrivate> hold = owner.lock();
        if (owned && !hold) {
            return;
        }
        const uint64_t eventCount = decoder->getDecodeEventCount();
        const uint64_t dataBandwidth = decoder->getDecodeDataBandwidth();
        callback(QnStatisticInfo(dataBandwidth, eventCount));
        callback = nullptr;
        hold.reset();
        if (owned && owner.expired()) {
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
    recorder.stopRecording();
    recordingRunning.store(false);
    return 0;
}

} // namespace quelnor
