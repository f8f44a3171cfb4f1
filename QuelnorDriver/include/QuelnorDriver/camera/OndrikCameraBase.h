#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "QuelnorBase/CalibratorParameters.h"
#include "QuelnorBase/DvsFileInfo.h"
#include "QuelnorDriver/camera/CallbackRegistry.h"
#include "QuelnorDriver/camera/CallbackSlot.h"
#include "QuelnorDriver/camera/FusionCameraPrivate.h"
#include "QuelnorDriver/sensor/Sensor.h"
#include "QuelnorDriver/tools/DataToVideoConverter.h"
#include "QuelnorHal/EventStream/Decoder.h"
#include "QuelnorHal/EventStream/RawEventStreamFormat.h"
#include "QuelnorHal/camera/tools/ApsCtrl/Imx415ApsCtrl.h"
#include "QuelnorHal/camera/tools/EventRateControl/Imx636EventRateControl.h"
#include "QuelnorHal/camera/tools/trigger/Imx636TriggerIn.h"
#include "QuelnorHal/interface/Interface.h"
#include "QuelnorHal/register/RegisterController.h"

namespace quelnor {

// The working fusion camera: init creates the device interface (through the product's createInterface),
// two register controllers (the IMX636 event sensor and the frame-sensor board), the EVT3 decoder, both
// sensors and the eight tools; start runs the camera's threads:
// - the event-stream thread: raw event buffers -> byte order -> raw recording -> decoder -> batches,
//   event, shared-event and sync-signal callbacks; rising trigger edges become frame timing;
// - the frame-stream thread: the frame sensor's buffers assembled into whole NV12 frames, queued;
// - the fusion thread: pairs each queued frame with its own frame timing (by sequence, see below),
//   converts it to BGR for the frame callbacks and hands it to the MP4 recording;
// - the statistics thread;
// and two writer threads record the streams, so the stream threads never wait for the disk.
//
// Frame timing: each rising trigger edge at time t (but the first after a fused start) times one frame:
// exposure start t - 200 - E, exposure end t + 25720 (E the frame sensor's exposure time in us); the
// decoder then reports the exposure end as a sync signal of polarity 1.
//
// Pairing: neither the frames (bare NV12 over USB; a V4L2 buffer's sequence and time are the host's)
// nor the trigger edges carry anything the other side knows, so frames cannot be matched by time. What
// the device does give is order: every exposure after the first edge makes one rising edge and one
// frame. Frames are therefore numbered as the frame sensor delivers them, whole or broken, and timings
// as their edges come; a frame takes the timing of its own number. A frame that is lost (broken, wrong
// size, pushed out) uses up its number, so its timing is discarded instead of going to the next frame;
// a frame whose timing was discarded is delivered untimed (0 to 0). The first rising edge after the
// frame sensor starts within a fused run is only counted, as at a fused start.
//
// Frames and timing are queued for pairing only while the fused stream runs with the frame sensor on;
// a frame whose timing does not come waits, but no more than FRAME_QUEUE_LIMIT frames wait at once (the
// oldest is dropped with a warning), so a trigger input that stays silent cannot use up the memory; no
// more than TIMING_QUEUE_LIMIT timings wait either.
//
// Threads: see FusionCamera. A product whose overrides run on the camera's threads (prepareDvsBuffer)
// or in its stop (beforeStreamsStop) calls stopStreams() first in its own destructor.
class OndrikCameraBase : public FusionCameraPrivate {
public:
    // Frame timing from a rising trigger edge at time t and the exposure time E (microseconds):
    // exposure start t - EXPOSURE_LEAD_US - E, exposure end start + E + EXPOSURE_TAIL_US.
    static constexpr uint64_t EXPOSURE_LEAD_US = 200;
    static constexpr uint64_t EXPOSURE_TAIL_US = 25920;
    static constexpr int STATISTIC_PERIOD_MS = 1000;
    // Pause between switching the event sensor off and stopping the sensors.
    static constexpr int STOP_SETTLE_MS = 100;
    // Longest pause of an idle stream thread before it looks at the camera's state again.
    static constexpr int IDLE_WAIT_MS = 100;
    static constexpr size_t FRAME_BUFFERS = 10;
    static constexpr size_t BGR_BUFFERS = 3;
    // Frames waiting for their timing at most; see above.
    static constexpr size_t FRAME_QUEUE_LIMIT = 32;
    // Timings waiting for their frame at most (the oldest is discarded).
    static constexpr size_t TIMING_QUEUE_LIMIT = 32;
    // Raw recording: chunks of more than dvsWidth x dvsHeight x DVS_CHUNK_FACTOR bytes, RECORD_CHUNKS
    // made ready at each start; MP4 recording: RECORD_FRAMES frame buffers made ready at each start.
    static constexpr int DVS_CHUNK_FACTOR = 10;
    static constexpr size_t RECORD_CHUNKS = 64;
    static constexpr size_t RECORD_FRAMES = 64;
    // What a recording may hold in memory for its writer at most, however slow the disk or the encoder:
    // raw data handed to the writer and not yet written (beyond it the raw recording stops with an
    // error), and frames waiting for the encoder (beyond it frames are dropped and counted).
    static constexpr size_t RAW_QUEUE_LIMIT_BYTES = size_t(96) << 20;
    static constexpr size_t MP4_QUEUE_LIMIT_FRAMES = 16;
    // How often the raw writer looks whether the first recorded frame has come.
    static constexpr int FIRST_FRAME_POLL_MS = 10;
    static constexpr uint16_t IDENTITY_BLOCK_SIZE = 64;
    // Control frames that switch the event sensor's stream on and off (USB cameras).
    static constexpr uint32_t PROPERTY_DVS_ENABLE = 0x40010010;
    static constexpr uint32_t PROPERTY_DVS_STREAM_ENABLE = 0x40010200;
    static constexpr int MAX_EVENT_RATE = 40;
    static constexpr const char* STREAM_FORMAT = "EVT3;height=720;width=1280";

    explicit OndrikCameraBase(CameraDescription description);
    // Stops the camera, ends every thread and releases everything.
    ~OndrikCameraBase() override;

    // False without an interface (before the first open); otherwise whether the device answers.
    bool isConnected() const override;

    uint32_t addApsFrameCallback(ApsFrameCallback callback) override;
    // True when a frame callback with that id was removed.
    bool removeApsFrameCallback(uint32_t id) override;

    int start(STREAM_TYPE type) override;
    int stop(STREAM_TYPE type) override;
    int destroy() override;

    int startRecording(std::string dir, std::string name, STREAM_TYPE type) override;
    // -1 when a recording it stopped met a failed write or close (the file then holds what was written
    // before, and an error line names the file and the cause).
    int stopRecording(STREAM_TYPE type) override;
    // Any thread; atomic reads.
    bool isRecordingHealthy(STREAM_TYPE type) const override;

    uint16_t getWidth(STREAM_TYPE type) override;
    uint16_t getHeight(STREAM_TYPE type) override;

    void setStatisticInfoCallback(StatisticInfoCallback callback) override;

    bool writeCalibrationFile(std::string path) override;
    bool readCalibrationParam(CalibratorParameters& params) override;

    // The identity registers of the frame-sensor board (64-byte texts): false when the exchange fails or
    // the camera is not open. A serial number must be shorter than 64 characters.
    bool getFirmwareVersion(std::string& version) override;
    bool getSerialNumber(std::string& serial);
    bool setSerialNumber(std::string serial);

protected:
    // A frame sensor of another size (the frames it delivers are apsWidth x apsHeight NV12).
    OndrikCameraBase(CameraDescription description, int32_t apsWidth, int32_t apsHeight);

    // Forgets the registered callbacks, then (unless already open) opens the device and builds the camera.
    int init() override;

    // Product hooks.
    virtual std::shared_ptr<Interface> createInterface() = 0;
    virtual RawEventStreamFormat rawEventStreamFormat();
    // Puts a raw event buffer into EVT3 byte order (event-stream thread): swaps the bytes of every word.
    virtual void prepareDvsBuffer(std::vector<uint8_t>& buffer);
    // Whether init reads the calibration block and the firmware version.
    virtual bool hasDeviceIdentityStorage() const;
    // Before anything of a fused start happens; false refuses the start.
    virtual bool beforeFusionStart();
    // After every thread of a fused start runs; false stops the camera again and fails the start.
    virtual bool afterStreamsStarted();
    // First step of a full stop.
    virtual void beforeStreamsStop();

    // stop(FUSION_STREAM) without a virtual call: what a destructor uses. -1 when a step threw.
    int stopStreams();

    // Switches the event sensor's stream on or off (USB only).
    void dvsEnable(bool on);
    // Decoder callbacks (event-stream thread).
    void triggerInArrived(EventTriggerIn trigger);
    void eventStreamArrived(Event2D* first, Event2D* last);

    // Recording steps.
    int startRecordingDvsStream(std::string path);
    int startRecordingApsStream(std::string dir, std::string name);
    // Event-stream thread: appends the buffer to the raw recording while it runs.
    void prepareDvsData2Save(std::vector<uint8_t>& buffer);
    // Fusion thread: queues one NV12 frame for the MP4 recording while it runs, timed by its exposure end.
    void prepareApsData2Save(const uint8_t* data, uint32_t size, uint64_t timestamp);
    void prepareApsData2Save(std::vector<uint8_t>& data, uint64_t timestamp);
    // Raw writer: the first failed write ends the recording (see failRawRecording).
    void saveDvsBuffer2File(const uint8_t* data, uint64_t size);

    CallbackRegistry<ApsFrameCallback> apsFrameCallbacks;
    std::thread apsLoopThread;
    std::thread dvsLoopThread;
    std::unique_ptr<Decoder> decoder;
    std::atomic<bool> inited{false};
    std::atomic<int32_t> running{0};
    std::shared_ptr<Interface> interface;
    Interface::InterfaceInitInfo interfaceInitInfo{};
    std::shared_ptr<RegisterController> dvsRegisterController;
    std::shared_ptr<RegisterController> apsRegisterController;
    std::unique_ptr<Sensor> dvsSensor;
    std::unique_ptr<Sensor> apsSensor;
    STREAM_TYPE streamType = FUSION_STREAM;

    // Raw recording. The chunk members are guarded by dvsChunkMutex.
    std::atomic<bool> dvsRecording{false};
    std::ofstream dvsFile;
    std::thread dvsRecordThread;
    std::deque<FrameBuffer> dvsChunkQueue;
    std::mutex dvsChunkMutex;
    std::condition_variable dvsChunkCondition;
    std::unique_ptr<BufferPool> dvsChunkPool;
    FrameBuffer currentDvsChunk;
    DvsFileInfo fileInfo;

    // MP4 recording. The queues, the pool and the flags are guarded by apsRecordMutex, the converter by
    // recordConverterMutex.
    std::atomic<bool> apsRecording{false};
    std::thread apsRecordThread;
    std::shared_ptr<DataToVideoConverter> recordConverter;
    // NV12 -> BGR for the frame callbacks; used by the fusion thread only.
    std::shared_ptr<DataToVideoConverter> frameConverter;
    std::mutex apsRecordMutex;
    std::condition_variable apsRecordCondition;
    std::atomic<bool> apsRecordStopRequested{false};
    std::unique_ptr<BufferPool> apsRecordPool;
    FrameBuffer currentApsRecordBuffer;
    std::deque<FrameBuffer> apsRecordQueue;
    // Each queued frame's time in the file (microseconds after the recording's first frame); -1: the
    // frame's time is not known.
    std::deque<int64_t> apsPtsQueue;
    uint64_t firstApsTimestamp = 0;
    // Frames queued for the current MP4 recording (the raw writer waits for the first, timed or not).
    uint64_t apsFramesRecorded = 0;

    std::thread fusionThread;
    std::unique_ptr<BufferPool> bgrBufferPool;
    std::thread statisticThread;
    CallbackSlot<StatisticInfoCallback> statisticCallback;
    std::shared_ptr<Imx415ApsCtrl> apsCtrlTool;
    std::shared_ptr<Imx636TriggerIn> triggerInTool;
    std::shared_ptr<Imx636EventRateControl> eventRateControlTool;

    CalibratorParameters calibration;
    bool hasCalibration = false;

private:
    friend class FusionCameraTestPeer;
    using Owner = std::weak_ptr<FusionCameraPrivate>;
    using LoopMethod = void (OndrikCameraBase::*)(Owner owner, bool owned);

    void buildBuffers();
    void releaseParts();
    bool deviceConnected() const;
    bool onOwnThread() const;
    size_t frameBytes() const;

    // Life cycle (lifecycleMutex held where the name says Locked).
    bool partsRunningLocked(STREAM_TYPE kind) const;
    bool startEventSensorLocked();
    bool startFrameSensorLocked();
    void startThreadLocked(std::thread& slot, LoopMethod loop);
    void resetFusionState();
    // Joins the stream threads of a run that has ended; false when one of them is the calling thread.
    bool joinEndedRun();
    // A full stop; `stopped` says whether this call did it (the camera was running). -1 when a step threw.
    int stopAll(bool lost, bool* stopped);
    void endFrameWriter();
    void wakeStreamThreads();

    // Threads.
    void dvsCameraLoop(Owner owner, bool owned);
    void apsCameraLoop(Owner owner, bool owned);
    void dataFusionLoop(Owner owner, bool owned);
    void statisticLoop(Owner owner, bool owned);
    void dvsRecordLoop();
    void apsRecordLoop();
    void lossPath(Owner owner, bool owned);
    void idleWait(const std::atomic<bool>& sensorRunning);
    void waitForStreamsStopped();
    void processDvsBuffer(std::vector<uint8_t>& buffer, bool gapBefore);
    void assembleFrame(const std::vector<uint8_t>& buffer);
    // Frame-loop thread: the transfer lost frame data before the next buffer; counts the lost frame.
    void frameDataLost();
    void queueFrameLocked();
    // A frame the frame sensor delivered that cannot be used: it still uses up its number.
    void frameLostLocked();
    // Starts pairing afresh (queueMutex held): both numberings from 0, nothing queued.
    void resetPairingLocked();
    // Queues the timing of the next exposure (queueMutex held).
    void queueTimingLocked(FrameTiming timing);
    // The oldest frame that can be handed on, with its timing or untimed (queueMutex held).
    bool takeFrameLocked(QueuedFrame& frame, FrameTiming& timing);
    bool frameReadyLocked() const;
    void deliverFrame(const FrameBuffer& frame, const FrameTiming& timing);
    bool ensureRecordConverter();
    void encodeRecordedFrame(const FrameBuffer& frame, int64_t pts);
    void closeRecordedFile();
    // The first failure of a recording: logged with the file and the cause; the recording takes no more
    // data. failRawRecordingLocked with dvsChunkMutex held; failMp4RecordingLocked with
    // recordConverterMutex held.
    void failRawRecording(const std::string& cause);
    void failRawRecordingLocked(const std::string& cause);
    void failMp4RecordingLocked(const std::string& cause);

    // Serialises start, stop, destroy and init with the loss path; guards the stream-thread objects and
    // the sensor states.
    std::mutex lifecycleMutex;
    std::atomic<bool> dvsSensorRunning{false};
    std::atomic<bool> apsSensorRunning{false};
    // Frames and frame timing are queued for pairing (a fused stream runs).
    std::atomic<bool> fusionActive{false};
    // Set once a full stop has stopped the sensors: the event-stream thread decodes what is left, then ends.
    std::atomic<bool> streamsStopped{false};
    std::mutex stateMutex;
    std::condition_variable stateCondition;
    // The decoder's last time after the buffer decoded last; read by the raw writer.
    std::atomic<uint64_t> lastDecodedTimestamp{0};
    // Pairing state, under queueMutex.
    uint64_t droppedApsFrames = 0;  // pushed out by the frame limit
    uint64_t lostApsFrames = 0;     // broken or of the wrong size
    uint64_t untimedApsFrames = 0;  // delivered without timing
    uint64_t discardedTimings = 0;  // no frame could claim them
    uint64_t lastFrameSequence = 0;
    uint64_t lastTimingSequence = 0;
    // Frames are delivered by the frame sensor (fused run, sensor on): timings are queued.
    bool framePairingOpen = false;
    bool skipNextTimingEdge = false;
    // The transport may cut a frame into several buffers (USB): they are joined by size. A V4L2 capture
    // delivers whole frames only, so there every buffer is one frame.
    bool assembleFrames = true;

    // Serialises the recording starts and stops.
    std::mutex recordControlMutex;
    bool dvsRecordActive = false;       // the raw writer exists; under recordControlMutex
    bool dvsRecordStopRequested = false; // under dvsChunkMutex
    // A raw chunk goes to the writer once it holds more than this.
    size_t dvsChunkBytes = 0;
    std::string dvsRecordPath; // set before the raw writer starts
    std::atomic<bool> dvsRecordFailed{false};
    std::string apsRecordPath; // under recordConverterMutex
    std::atomic<bool> apsRecordFailed{false};
    size_t rawQueueLimitBytes = RAW_QUEUE_LIMIT_BYTES;
    size_t mp4QueueLimitFrames = MP4_QUEUE_LIMIT_FRAMES;
    size_t dvsPendingBytes = 0;       // handed to the raw writer, not yet written; under dvsChunkMutex
    uint64_t apsRecordDroppedFrames = 0; // of the current MP4 recording; under apsRecordMutex
    std::mutex recordConverterMutex;
    bool apsFileOpen = false;   // under recordConverterMutex
    int64_t lastRecordedPts = -1; // under recordConverterMutex
    bool apsWriterExit = false;  // under apsRecordMutex
    bool apsWriterRunning = false; // under apsRecordMutex

    std::mutex calibrationMutex;
};

} // namespace quelnor
