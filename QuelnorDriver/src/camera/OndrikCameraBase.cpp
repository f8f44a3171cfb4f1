#include "QuelnorDriver/camera/OndrikCameraBase.h"

#include <chrono>
#include <exception>
#include <optional>
#include <utility>

#include "QuelnorBase/Logger.h"
#include "QuelnorBase/Utils/FuncUtils.h"
#include "QuelnorDriver/sensor/Imx415RegisterMap.h"
#include "QuelnorDriver/sensor/Imx415Sensor.h"
#include "QuelnorDriver/sensor/Imx636RegisterMap.h"
#include "QuelnorDriver/sensor/Imx6x6Sensor.h"
#include "QuelnorHal/EventStream/DecoderFactory.h"
#include "QuelnorHal/camera/tools/AntiFlicker/Imx636AntiFlicker.h"
#include "QuelnorHal/camera/tools/EventTrailFilter/Imx636EventTrailFilter.h"
#include "QuelnorHal/camera/tools/biases/Imx636Biases.h"
#include "QuelnorHal/camera/tools/roi/Imx636Roi.h"
#include "QuelnorHal/camera/tools/trigger/Imx636Sync.h"
#include "QuelnorHal/interface/CtrlFrame.h"
#include "QuelnorHal/interface/UsbInterface.h"
#include "camera/CameraHold.h"

namespace quelnor {

namespace {

constexpr const char* IMX636_REGISTER_PREFIX = "PSEE/IMX636/";
constexpr const char* FRAME_BOARD_REGISTER_PREFIX = " ";
constexpr auto INIT_SETTLE = std::chrono::milliseconds(1);
// Drops of frames without timing are logged for the first and then every this many.
constexpr uint64_t DROP_LOG_INTERVAL = 100;

// The camera whose stream thread (event stream, frame stream, fusion, statistics) runs on this thread.
thread_local const OndrikCameraBase* streamThreadOwner = nullptr;

STREAM_TYPE kindOf(STREAM_TYPE type) {
    return type == DVS_STREAM || type == APS_STREAM ? type : FUSION_STREAM;
}

} // namespace

OndrikCameraBase::OndrikCameraBase(CameraDescription description_)
    : OndrikCameraBase(std::move(description_), DEFAULT_APS_WIDTH, DEFAULT_APS_HEIGHT) {}

OndrikCameraBase::OndrikCameraBase(CameraDescription description_, int32_t apsWidth_, int32_t apsHeight_)
    : FusionCameraPrivate(std::move(description_)) {
    apsWidth = apsWidth_;
    apsHeight = apsHeight_;
    fileInfo.width = static_cast<uint16_t>(dvsWidth);
    fileInfo.height = static_cast<uint16_t>(dvsHeight);
    fileInfo.serialNumber = description.serialNumber;
    dvsChunkBytes = static_cast<size_t>(dvsWidth) * static_cast<size_t>(dvsHeight) * DVS_CHUNK_FACTOR;
    buildBuffers();
}

void OndrikCameraBase::buildBuffers() {
    frameBufferPool = makeBufferPool(FRAME_BUFFERS, frameBytes());
    currentFrameBuffer = frameBufferPool->acquire();
    currentFrameBuffer->clear();
    bgrBufferPool = makeBufferPool(BGR_BUFFERS, static_cast<size_t>(apsWidth) * static_cast<size_t>(apsHeight) * 3);
}

OndrikCameraBase::~OndrikCameraBase() {
    stopAll(false, nullptr);
    stopRecording(FUSION_STREAM);
    inited.store(false);
    endFrameWriter();
    // A camera destroyed on one of its own threads (its last pointer dropped in a callback) cannot wait
    // for that thread: the thread only returns from here and touches nothing of the camera.
    for (std::thread* thread : {&dvsLoopThread, &apsLoopThread, &fusionThread, &statisticThread}) {
        if (!thread->joinable()) {
            continue;
        }
        if (thread->get_id() == std::this_thread::get_id()) {
            thread->detach();
        } else {
            thread->join();
        }
    }
    releaseParts();
}

size_t OndrikCameraBase::frameBytes() const {
    return static_cast<size_t>(apsWidth) * static_cast<size_t>(apsHeight) * 3 / 2;
}

bool OndrikCameraBase::isConnected() const { return deviceConnected(); }

bool OndrikCameraBase::deviceConnected() const { return interface && interface->isConnected(); }

bool OndrikCameraBase::onOwnThread() const { return streamThreadOwner == this; }

uint16_t OndrikCameraBase::getWidth(STREAM_TYPE type) {
    return static_cast<uint16_t>(type == DVS_STREAM ? dvsWidth : apsWidth);
}

uint16_t OndrikCameraBase::getHeight(STREAM_TYPE type) {
    return static_cast<uint16_t>(type == DVS_STREAM ? dvsHeight : apsHeight);
}

uint32_t OndrikCameraBase::addApsFrameCallback(ApsFrameCallback callback) {
    return apsFrameCallbacks.add(std::move(callback));
}

bool OndrikCameraBase::removeApsFrameCallback(uint32_t id) { return apsFrameCallbacks.remove(id); }

void OndrikCameraBase::setStatisticInfoCallback(StatisticInfoCallback callback) {
    statisticCallback.set(std::move(callback));
}

// ---------------------------------------------------------------- product hooks

RawEventStreamFormat OndrikCameraBase::rawEventStreamFormat() { return RawEventStreamFormat(STREAM_FORMAT); }

void OndrikCameraBase::prepareDvsBuffer(std::vector<uint8_t>& buffer) { convertEndian(buffer); }

bool OndrikCameraBase::hasDeviceIdentityStorage() const { return true; }

bool OndrikCameraBase::beforeFusionStart() { return true; }

bool OndrikCameraBase::afterStreamsStarted() { return true; }

void OndrikCameraBase::beforeStreamsStop() {}

// ---------------------------------------------------------------- init

void OndrikCameraBase::releaseParts() {
    tools.clear();
    apsCtrlTool.reset();
    triggerInTool.reset();
    eventRateControlTool.reset();
    apsSensor.reset();
    dvsSensor.reset();
    decoder.reset();
    apsRegisterController.reset();
    dvsRegisterController.reset();
    interface.reset();
}

int OndrikCameraBase::init() {
    clearStreamCallbacks();
    apsFrameCallbacks.clear();
    if (inited.load()) {
        return 0;
    }
    // What an earlier open left behind: the threads of a run the loss path ended, its frame writer.
    if (!joinEndedRun()) {
        QN_ERROR("Camera %s cannot be opened from its own thread before that thread has ended",
                 description.serialNumber.c_str());
        return -1;
    }
    endFrameWriter();
    releaseParts();

    try {
        std::shared_ptr<Interface> created = createInterface();
        if (!created) {
            QN_ERROR("Interface init error.");
            return -1;
        }
        interface = std::move(created);
        interface->initByCamera(interfaceInitInfo);
        assembleFrames = interface->getInterfaceType() != Interface::MIPI;

        dvsRegisterController = std::make_shared<RegisterController>(interface, IMX636_REGISTER_MAP,
                                                                     IMX636_REGISTER_MAP_SIZE, IMX636_REGISTER_PREFIX);
        apsRegisterController = std::make_shared<RegisterController>(
            interface, IMX415_REGISTER_MAP, IMX415_REGISTER_MAP_SIZE, FRAME_BOARD_REGISTER_PREFIX);
        std::this_thread::sleep_for(INIT_SETTLE);

        decoder = DecoderFactory::createUniqueDecoder(rawEventStreamFormat());
        decoder->setFlipX(true);
        decoder->setEventsStreamHandleCallback(
            [this](Event2D* first, Event2D* last) { eventStreamArrived(first, last); });
        decoder->setSharedEventsStreamHandleCallback(
            [this](std::shared_ptr<std::vector<Event2D>> events) { sharedEventStreamArrived(std::move(events)); });
        decoder->setTriggerInCallback([this](EventTriggerIn trigger) { triggerInArrived(trigger); });

        dvsSensor = std::make_unique<Imx6x6Sensor>();
        // A write the device refuses fails the sensor step that made it, instead of throwing out of
        // start(); the controller names the register.
        auto writeFailed = std::make_shared<bool>(false);
        std::shared_ptr<RegisterController> sequenceController = dvsRegisterController;
        dvsSensor->setCheckedApplyRegisterOperationSequenceCallback(
            [sequenceController, writeFailed](const std::vector<RegisterOperation>& sequence) {
                const bool ok = sequenceController->tryApplyRegisterOperationSequence(sequence);
                *writeFailed = *writeFailed || !ok;
                return ok;
            });
        std::shared_ptr<RegisterController> fieldController = dvsRegisterController;
        dvsSensor->setCheckedWriteRegisterFieldCallback(
            [fieldController, writeFailed](const std::string& registerName, const std::string& fieldName,
                                           uint32_t value) {
                const bool ok = fieldController->tryWriteRegisterField(registerName, fieldName, value);
                *writeFailed = *writeFailed || !ok;
                return ok;
            });
        // A sensor that fails here for another reason refuses to start later. A refused bring-up write
        // fails the open, as it always has (it used to do so by an exception).
        if (dvsSensor->init(interface) != 0 && *writeFailed) {
            QN_ERROR("Camera %s: initialisation failed, a register write was not confirmed",
                     description.serialNumber.c_str());
            releaseParts();
            return -1;
        }

        apsSensor = std::make_unique<Imx415Sensor>();
        std::shared_ptr<RegisterController> boardController = apsRegisterController;
        apsSensor->setWriteRegisterCallback([boardController](const std::string& registerName, uint32_t value) {
            boardController->writeRegisterWithControlTransfer(registerName, value);
        });
        apsSensor->init(interface);

        tools.addTool(BIAS, std::make_shared<Imx636Biases>(dvsRegisterController));
        triggerInTool = std::make_shared<Imx636TriggerIn>(dvsRegisterController);
        triggerInTool->setParam("enable", true);
        tools.addTool(TRIGGER_IN, triggerInTool);
        tools.addTool(ANTI_FLICKER, std::make_shared<Imx636AntiFlicker>(dvsRegisterController));
        eventRateControlTool = std::make_shared<Imx636EventRateControl>(dvsRegisterController);
        eventRateControlTool->setParam("enable", true);
        eventRateControlTool->setMaxLimitEventRate(MAX_EVENT_RATE);
        // The rate in the sensor within the new limit, so the configuration exported now loads back.
        eventRateControlTool->setParam("max_event_rate", MAX_EVENT_RATE);
        tools.addTool(EVENT_RATE_CONTROL, eventRateControlTool);
        tools.addTool(EVENT_TRAIL_FILTER, std::make_shared<Imx636EventTrailFilter>(dvsRegisterController));
        tools.addTool(ROI, std::make_shared<Imx636ROI>(dvsRegisterController));
        tools.addTool(SYNC, std::make_shared<Imx636Sync>(dvsRegisterController));
        apsCtrlTool = std::make_shared<Imx415ApsCtrl>(apsRegisterController);
        tools.addTool(APS_CTRL, apsCtrlTool);

        if (hasDeviceIdentityStorage()) {
            std::vector<uint8_t> calibrationBlock;
            if (!interface->readCalibrationData(calibrationBlock)) {
                QN_ERROR("Read calibration data error.");
            }
            std::string version;
            getFirmwareVersion(version);
        }
    } catch (const std::exception& e) {
        QN_ERROR("Ondrik Camera init error.");
        QN_ERROR("%s", e.what());
        releaseParts();
        return -1;
    } catch (...) {
        QN_ERROR("Ondrik Camera init error.");
        releaseParts();
        return -1;
    }

    inited.store(true);
    {
        std::lock_guard<std::mutex> lock(apsRecordMutex);
        apsWriterExit = false;
        apsWriterRunning = true;
    }
    apsRecordThread = std::thread(&OndrikCameraBase::apsRecordLoop, this);
    return 0;
}

// ---------------------------------------------------------------- start and stop

bool OndrikCameraBase::partsRunningLocked(STREAM_TYPE kind) const {
    const bool events = dvsSensorRunning.load() && dvsLoopThread.joinable() && statisticThread.joinable();
    const bool frames = apsSensorRunning.load() && apsLoopThread.joinable();
    switch (kind) {
    case DVS_STREAM:
        return events;
    case APS_STREAM:
        return frames;
    default:
        return events && frames && fusionThread.joinable() && fusionActive.load();
    }
}

bool OndrikCameraBase::startEventSensorLocked() {
    if (dvsSensorRunning.load()) {
        return true;
    }
    dvsEnable(true);
    if (dvsSensor->start() != 0) {
        QN_ERROR("The event sensor of camera %s did not start.", description.serialNumber.c_str());
        return false;
    }
    dvsSensorRunning.store(true);
    return true;
}

bool OndrikCameraBase::startFrameSensorLocked() {
    if (apsSensorRunning.load()) {
        return true;
    }
    {
        // A frame cut off by the last stop is not completed by the next start.
        std::lock_guard<std::mutex> lock(frameBufferMutex);
        currentFrameBuffer->clear();
    }
    {
        // Within a fused run the frames count afresh from this start: what the last run of the frame
        // sensor left in the queues belongs to frames that are gone.
        std::lock_guard<std::mutex> lock(queueMutex);
        if (fusionActive.load()) {
            resetPairingLocked();
            framePairingOpen = true;
            skipNextTimingEdge = true;
        }
    }
    if (apsSensor->start() != 0) {
        QN_ERROR("The frame sensor of camera %s did not start.", description.serialNumber.c_str());
        return false;
    }
    apsSensorRunning.store(true);
    return true;
}

void OndrikCameraBase::startThreadLocked(std::thread& slot, LoopMethod loop) {
    if (slot.joinable()) {
        return; // runs already in this run
    }
    Owner owner = weak_from_this();
    const bool owned = !owner.expired();
    slot = std::thread(loop, this, owner, owned);
}

void OndrikCameraBase::resetFusionState() {
    std::lock_guard<std::mutex> lock(queueMutex);
    apsFrameCount.store(0);
    triggerCount.store(0);
    resetPairingLocked();
    droppedApsFrames = 0;
    lostApsFrames = 0;
    untimedApsFrames = 0;
    discardedTimings = 0;
    if (decoder) {
        decoder->setCustomTriggerIn(0);
    }
    fusionActive.store(true);
    framePairingOpen = true;
    skipNextTimingEdge = false; // the first edge of the run is passed over by its count
}

void OndrikCameraBase::resetPairingLocked() {
    frameQueue.clear();
    timingQueue.clear();
    lastFrameSequence = 0;
    lastTimingSequence = 0;
}

bool OndrikCameraBase::joinEndedRun() {
    std::vector<std::thread> ended;
    {
        std::lock_guard<std::mutex> lock(lifecycleMutex);
        if (running.load() != 0) {
            return true;
        }
        for (std::thread* thread : {&dvsLoopThread, &apsLoopThread, &fusionThread, &statisticThread}) {
            if (!thread->joinable()) {
                continue;
            }
            if (thread->get_id() == std::this_thread::get_id()) {
                return false;
            }
            ended.push_back(std::move(*thread));
        }
    }
    for (std::thread& thread : ended) {
        thread.join();
    }
    return true;
}

int OndrikCameraBase::start(STREAM_TYPE type) {
    if (!inited.load()) {
        QN_ERROR("Camera is not inited");
        return -1;
    }
    if (!deviceConnected()) {
        // A device that is gone answers no register access, and its loss path may still be closing
        // the camera.
        QN_ERROR("Camera %s is not connected.", description.serialNumber.c_str());
        return -1;
    }
    const STREAM_TYPE kind = kindOf(type);
    {
        std::lock_guard<std::mutex> lock(lifecycleMutex);
        if (running.load() == 1 && partsRunningLocked(kind)) {
            QN_INFO("Camera already started.");
            return 0;
        }
    }
    if (!joinEndedRun()) {
        QN_ERROR("Camera %s cannot be started from its own thread before that thread has ended",
                 description.serialNumber.c_str());
        return -1;
    }

    std::unique_lock<std::mutex> lock(lifecycleMutex);
    const bool wasRunning = running.load() == 1;
    if (kind == FUSION_STREAM && !beforeFusionStart()) {
        QN_ERROR("Failed to prepare fusion camera start.");
        return -1;
    }
    if (!wasRunning) {
        streamsStopped.store(false);
        // The first report covers this run only.
        decoder->getDecodeEventCount();
        decoder->getDecodeDataBandwidth();
    }
    running.store(1);

    bool started = true;
    switch (kind) {
    case DVS_STREAM:
        started = startEventSensorLocked();
        startThreadLocked(dvsLoopThread, &OndrikCameraBase::dvsCameraLoop);
        startThreadLocked(statisticThread, &OndrikCameraBase::statisticLoop);
        break;
    case APS_STREAM:
        started = startFrameSensorLocked();
        startThreadLocked(apsLoopThread, &OndrikCameraBase::apsCameraLoop);
        break;
    default:
        resetFusionState();
        QN_INFO("dvs start.");
        started = startEventSensorLocked();
        startThreadLocked(dvsLoopThread, &OndrikCameraBase::dvsCameraLoop);
        QN_INFO("Aps start.");
        started = startFrameSensorLocked() && started;
        startThreadLocked(apsLoopThread, &OndrikCameraBase::apsCameraLoop);
        startThreadLocked(fusionThread, &OndrikCameraBase::dataFusionLoop);
        startThreadLocked(statisticThread, &OndrikCameraBase::statisticLoop);
        break;
    }
    wakeStreamThreads();
    if (!started) {
        lock.unlock();
        if (!wasRunning) {
            stopAll(false, nullptr);
        }
        return -1;
    }
    if (kind == FUSION_STREAM && !afterStreamsStarted()) {
        QN_ERROR("Failed to complete fusion camera start.");
        lock.unlock();
        stopAll(false, nullptr);
        return -1;
    }
    eventRateControlTool->setParam("max_event_rate", MAX_EVENT_RATE);
    QN_INFO("Camera event stream start.");
    streamType = type;
    return 0;
}

int OndrikCameraBase::stop(STREAM_TYPE type) {
    const STREAM_TYPE kind = kindOf(type);
    if (kind == FUSION_STREAM) {
        return stopAll(false, nullptr);
    }
    {
        std::lock_guard<std::mutex> lock(lifecycleMutex);
        if (running.load() == 0) {
            return 0;
        }
        try {
            if (kind == DVS_STREAM) {
                dvsEnable(false);
                if (dvsSensorRunning.exchange(false)) {
                    dvsSensor->stop();
                }
            } else if (apsSensorRunning.exchange(false)) {
                apsSensor->stop();
                // No frames come until the next start, which begins the pairing afresh: edges queue
                // nothing meanwhile.
                std::lock_guard<std::mutex> queueLock(queueMutex);
                framePairingOpen = false;
            }
        } catch (const std::exception& e) {
            QN_ERROR("Stop camera failed: %s", e.what());
            return -1;
        }
    }
    if (kind == APS_STREAM) {
        stopRecording(FUSION_STREAM);
    }
    return 0;
}

int OndrikCameraBase::stopStreams() { return stopAll(false, nullptr); }

void OndrikCameraBase::wakeStreamThreads() {
    {
        std::lock_guard<std::mutex> lock(stateMutex);
    }
    stateCondition.notify_all();
    {
        std::lock_guard<std::mutex> lock(queueMutex);
    }
    fusionCondition.notify_all();
}

int OndrikCameraBase::stopAll(bool lost, bool* stopped) {
    if (stopped != nullptr) {
        *stopped = false;
    }
    int result = 0;
    std::vector<std::thread> ended;
    {
        std::lock_guard<std::mutex> lock(lifecycleMutex);
        if (running.load() == 0) {
            return 0;
        }
        if (lost) {
            QN_INFO("Ondrik loss connection.");
        }
        try {
            beforeStreamsStop();
        } catch (const std::exception& e) {
            QN_ERROR("Stop camera failed: %s", e.what());
            result = -1;
        }
        running.store(0);
        {
            std::lock_guard<std::mutex> queueLock(queueMutex);
            fusionActive.store(false);
            framePairingOpen = false;
        }
        try {
            dvsEnable(false);
            std::this_thread::sleep_for(std::chrono::milliseconds(STOP_SETTLE_MS));
            if (apsSensorRunning.exchange(false)) {
                apsSensor->stop();
            }
            if (dvsSensorRunning.exchange(false)) {
                dvsSensor->stop();
            }
        } catch (const std::exception& e) {
            QN_ERROR("Stop camera failed: %s", e.what());
            result = -1;
        }
        // The event-stream thread decodes what the stopped stream still holds, then ends.
        streamsStopped.store(true);
        wakeStreamThreads();
        for (std::thread* thread : {&dvsLoopThread, &apsLoopThread, &fusionThread, &statisticThread}) {
            if (thread->joinable() && thread->get_id() != std::this_thread::get_id()) {
                ended.push_back(std::move(*thread));
            }
        }
    }
    for (std::thread& thread : ended) {
        thread.join();
    }
    releaseBatchWaiters();
    stopRecording(FUSION_STREAM);
    if (stopped != nullptr) {
        *stopped = true;
    }
    return result;
}

int OndrikCameraBase::destroy() {
    stopAll(false, nullptr);
    stopRecording(FUSION_STREAM);
    inited.store(false);
    endFrameWriter();
    return 0;
}

void OndrikCameraBase::dvsEnable(bool on) {
    if (!interface || interface->getInterfaceType() != Interface::USB) {
        return;
    }
    auto usb = std::dynamic_pointer_cast<UsbInterface>(interface);
    if (!usb) {
        return;
    }
    try {
        for (uint32_t property : {PROPERTY_DVS_ENABLE, PROPERTY_DVS_STREAM_ENABLE}) {
            CtrlFrame frame(property);
            frame.push_back32(0);
            frame.push_back32(on ? 1 : 0);
            usb->transferFrame(frame);
        }
    } catch (const std::exception&) {
        QN_ERROR("Camera is running or no this command.");
    }
}

// ---------------------------------------------------------------- stream threads

void OndrikCameraBase::idleWait(const std::atomic<bool>& sensorRunning) {
    std::unique_lock<std::mutex> lock(stateMutex);
    stateCondition.wait_for(lock, std::chrono::milliseconds(IDLE_WAIT_MS),
                            [&] { return running.load() == 0 || sensorRunning.load(); });
}

void OndrikCameraBase::waitForStreamsStopped() {
    std::unique_lock<std::mutex> lock(stateMutex);
    stateCondition.wait_for(lock, std::chrono::milliseconds(IDLE_WAIT_MS), [this] { return streamsStopped.load(); });
}

void OndrikCameraBase::lossPath(Owner owner, bool owned) {
    // Not run when the camera is being destroyed on another thread, which stops it; the hold may be the
    // last pointer: the camera then goes on this thread.
    detail::runHeld(owner, owned, [&] {
        bool stopped = false;
        stopAll(true, &stopped);
        if (stopped) {
            destroy();
        }
    });
}

void OndrikCameraBase::processDvsBuffer(std::vector<uint8_t>& buffer, bool gapBefore) {
    prepareDvsBuffer(buffer);
    prepareDvsData2Save(buffer);
    if (gapBefore) {
        decoder->notifyGap();
    }
    decoder->decode(buffer);
    lastDecodedTimestamp.store(decoder->getLastTimeStamp());
}

// The stream threads hold the camera (when a shared pointer owns it) only while they run user code,
// and never touch the camera again once that hold was the last one.
void OndrikCameraBase::dvsCameraLoop(Owner owner, bool owned) {
    streamThreadOwner = this;
    for (;;) {
        bool gapBefore = false;
        std::optional<RawBuffer> buffer = dvsSensor->getNextBuffer(gapBefore);
        if (buffer) {
            if (!detail::runHeld(owner, owned, [&] {
                    processDvsBuffer(**buffer, gapBefore);
                    buffer.reset();
                })) {
                return;
            }
            continue;
        }
        if (running.load() == 0) {
            if (!streamsStopped.load()) {
                waitForStreamsStopped(); // the sensors are stopping; the stream may deliver more
                continue;
            }
            // The hold may be the last pointer: the camera then goes on this thread.
            detail::runHeld(owner, owned, [&] {
                while (std::optional<RawBuffer> left = dvsSensor->getNextBuffer(gapBefore)) {
                    processDvsBuffer(**left, gapBefore);
                }
            });
            return;
        }
        if (!dvsSensorRunning.load()) {
            idleWait(dvsSensorRunning);
        }
        if (running.load() == 1 && !deviceConnected()) {
            lossPath(owner, owned);
            return;
        }
    }
}

void OndrikCameraBase::apsCameraLoop(Owner owner, bool owned) {
    streamThreadOwner = this;
    while (running.load() == 1) {
        bool gapBefore = false;
        std::optional<RawBuffer> buffer = apsSensor->getNextBuffer(gapBefore);
        if (gapBefore) {
            frameDataLost();
        }
        if (buffer) {
            assembleFrame(**buffer);
            continue;
        }
        if (running.load() == 0) {
            break;
        }
        if (!apsSensorRunning.load()) {
            idleWait(apsSensorRunning);
        }
        if (running.load() == 1 && !deviceConnected()) {
            lossPath(owner, owned);
            return;
        }
    }
}

// The transfer dropped frame data (a buffer the driver marked broken, say). Without a count the timing
// meant for the lost frame would go to the next one, and every later frame would be one behind.
void OndrikCameraBase::frameDataLost() {
    std::lock_guard<std::mutex> lock(frameBufferMutex);
    if (!assembleFrames) {
        frameLostLocked(); // each buffer is one whole frame
        return;
    }
    // The frame in hand misses a piece: it cannot be completed.
    if (!currentFrameBuffer->empty()) {
        currentFrameBuffer->clear();
        frameLostLocked();
    }
}

void OndrikCameraBase::assembleFrame(const std::vector<uint8_t>& buffer) {
    const size_t expected = frameBytes();
    std::lock_guard<std::mutex> lock(frameBufferMutex);
    if (!assembleFrames && buffer.size() != expected) {
        QN_ERROR("Unexpected APS frame size: %zu (expected %zu).", buffer.size(), expected);
        frameLostLocked();
        return;
    }
    const size_t held = currentFrameBuffer->size();
    if (held + buffer.size() > expected) {
        // The frame in hand cannot be completed by this buffer: it was cut short.
        if (held > 0) {
            QN_ERROR("Unexpected APS frame size: %zu (expected %zu).", held, expected);
            currentFrameBuffer->clear();
            frameLostLocked();
        }
        if (buffer.size() > expected) {
            QN_ERROR("Unexpected APS frame size: %zu (expected %zu).", buffer.size(), expected);
            frameLostLocked();
            return;
        }
    }
    currentFrameBuffer->insert(currentFrameBuffer->end(), buffer.begin(), buffer.end());
    if (currentFrameBuffer->size() < expected) {
        return; // a frame the transport delivered in pieces
    }
    QN_DEBUG("aps frame cnt: %llu", static_cast<unsigned long long>(apsFrameCount.load()));
    apsFrameCount.fetch_add(1);
    queueFrameLocked();
    currentFrameBuffer = frameBufferPool->acquire();
    currentFrameBuffer->clear();
}

void OndrikCameraBase::queueFrameLocked() {
    std::lock_guard<std::mutex> lock(queueMutex);
    if (!fusionActive.load() || !framePairingOpen) {
        return; // frames are paired only while a fused stream runs
    }
    if (frameQueue.size() >= FRAME_QUEUE_LIMIT) {
        frameQueue.pop_front();
        if (droppedApsFrames++ % DROP_LOG_INTERVAL == 0) {
            QN_WARN("APS frames without frame timing dropped: %llu",
                    static_cast<unsigned long long>(droppedApsFrames));
        }
    }
    frameQueue.push_back(QueuedFrame{currentFrameBuffer, ++lastFrameSequence});
    fusionCondition.notify_one();
}

void OndrikCameraBase::frameLostLocked() {
    std::lock_guard<std::mutex> lock(queueMutex);
    if (!fusionActive.load() || !framePairingOpen) {
        return;
    }
    ++lastFrameSequence;
    ++lostApsFrames;
    fusionCondition.notify_one();
}

void OndrikCameraBase::queueTimingLocked(FrameTiming timing) {
    timing.sequence = ++lastTimingSequence;
    // Frames before the oldest waiting one (or all so far, none waiting) are gone.
    const uint64_t claimable = frameQueue.empty() ? lastFrameSequence + 1 : frameQueue.front().sequence;
    if (timing.sequence < claimable) {
        ++discardedTimings;
    } else {
        if (timingQueue.size() >= TIMING_QUEUE_LIMIT) {
            timingQueue.pop_front();
            ++discardedTimings;
        }
        timingQueue.push_back(timing);
    }
    // A waiting frame whose timing was discarded is ready now as well.
    fusionCondition.notify_one();
}

bool OndrikCameraBase::frameReadyLocked() const {
    return !frameQueue.empty() && lastTimingSequence >= frameQueue.front().sequence;
}

bool OndrikCameraBase::takeFrameLocked(QueuedFrame& frame, FrameTiming& timing) {
    if (!frameReadyLocked()) {
        return false;
    }
    const uint64_t wanted = frameQueue.front().sequence;
    while (!timingQueue.empty() && timingQueue.front().sequence < wanted) {
        timingQueue.pop_front(); // its frame was lost
        ++discardedTimings;
    }
    if (!timingQueue.empty() && timingQueue.front().sequence == wanted) {
        timing = timingQueue.front();
        timingQueue.pop_front();
    } else {
        // Its timing came and was discarded: never another frame's.
        timing = FrameTiming{};
        if (untimedApsFrames++ % DROP_LOG_INTERVAL == 0) {
            QN_WARN("APS frames without frame timing delivered untimed: %llu",
                    static_cast<unsigned long long>(untimedApsFrames));
        }
    }
    frame = std::move(frameQueue.front());
    frameQueue.pop_front();
    return true;
}

void OndrikCameraBase::eventStreamArrived(Event2D* first, Event2D* last) {
    batchEvents(first, last);
    callEventCallbacks(first, last);
}

void OndrikCameraBase::triggerInArrived(EventTriggerIn trigger) {
    switch (trigger.polarity) {
    case 0:
        QN_DEBUG("Trigger cnt: %llu, p: %d, ts: %llu.", static_cast<unsigned long long>(triggerCount.load()),
                 trigger.polarity, static_cast<unsigned long long>(trigger.timestamp));
        break;
    case 1: {
        QN_DEBUG("Trigger cnt: %llu, p: %d, ts: %llu.", static_cast<unsigned long long>(triggerCount.load()),
                 trigger.polarity, static_cast<unsigned long long>(trigger.timestamp));
        // The first rising edge after a fused start ends an exposure that began before it.
        if (triggerCount.load() == 0) {
            triggerCount.fetch_add(1);
            std::lock_guard<std::mutex> lock(queueMutex);
            skipNextTimingEdge = false; // this is the edge a frame-sensor start passes over
            return;
        }
        FrameTiming timing;
        int exposure = 0;
        if (apsCtrlTool && apsCtrlTool->getParam("exposure_time", exposure) && exposure >= 0) {
            const uint64_t lead = EXPOSURE_LEAD_US + static_cast<uint64_t>(exposure);
            timing.exposureStart = trigger.timestamp >= lead ? trigger.timestamp - lead : 0;
            timing.exposureEnd = trigger.timestamp - EXPOSURE_LEAD_US + EXPOSURE_TAIL_US;
            decoder->setCustomTriggerIn(timing.exposureEnd);
        } else {
            QN_ERROR("Get aps exposure time failed.");
        }
        std::lock_guard<std::mutex> lock(queueMutex);
        if (!fusionActive.load() || !framePairingOpen) {
            return;
        }
        if (skipNextTimingEdge) {
            // The first edge since the frame sensor started again, as the first of a run.
            skipNextTimingEdge = false;
            return;
        }
        queueTimingLocked(timing);
        return;
    }
    case 2:
        // The decoder's own mark at an exposure end.
        trigger.polarity = 1;
        triggerCount.fetch_add(1);
        break;
    default:
        break;
    }
    callSyncSignalCallbacks(trigger);
}

void OndrikCameraBase::dataFusionLoop(Owner owner, bool owned) {
    streamThreadOwner = this;
    for (;;) {
        QueuedFrame queued;
        FrameTiming timing;
        {
            std::unique_lock<std::mutex> lock(queueMutex);
            fusionCondition.wait(lock, [&] { return running.load() == 0 || frameReadyLocked(); });
            if (running.load() == 0) {
                return;
            }
            takeFrameLocked(queued, timing);
        }
        FrameBuffer frame = std::move(queued.buffer);
        // Outside the queue lock: converting and the callbacks must not hold up the stream threads.
        if (!detail::runHeld(owner, owned, [&] {
                deliverFrame(frame, timing);
                frame.reset();
            })) {
            return;
        }
    }
}

void OndrikCameraBase::deliverFrame(const FrameBuffer& frame, const FrameTiming& timing) {
    if (!apsFrameCallbacks.empty()) {
        if (!frameConverter) {
            frameConverter = std::make_shared<DataToVideoConverter>();
            frameConverter->setConverterFrameSize(apsHeight, apsWidth, apsHeight, apsWidth);
            frameConverter->setConverterFmt(DataToVideoConverter::PIX_FMT_NV12, DataToVideoConverter::PIX_FMT_BGR24);
        }
        FrameBuffer bgr = bgrBufferPool->acquire();
        bgr->resize(static_cast<size_t>(apsWidth) * static_cast<size_t>(apsHeight) * 3);
        if (frameConverter->nv12ToRGB(*frame, *bgr) < 0) {
            QN_ERROR("APS frame conversion to BGR failed.");
        } else {
            ApsFrame image(apsWidth, apsHeight, timing.exposureStart, timing.exposureEnd, bgr);
            apsFrameCallbacks.callAll(image);
        }
    }
    if (apsRecording.load()) {
        prepareApsData2Save(frame->data(), static_cast<uint32_t>(frame->size()), timing.exposureEnd);
    }
}

void OndrikCameraBase::statisticLoop(Owner owner, bool owned) {
    streamThreadOwner = this;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(stateMutex);
            stateCondition.wait_for(lock, std::chrono::milliseconds(STATISTIC_PERIOD_MS),
                                    [this] { return running.load() == 0; });
        }
        if (running.load() == 0) {
            return;
        }
        StatisticInfoCallback callback = statisticCallback.get();
        if (!callback) {
            continue;
        }
        if (!detail::runHeld(owner, owned, [&] {
                callback(detail::decoderStatistics(*decoder));
                callback = nullptr;
            })) {
            return;
        }
    }
}

} // namespace quelnor
