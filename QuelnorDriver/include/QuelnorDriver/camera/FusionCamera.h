#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "QuelnorBase/ApsFrame.h"
#include "QuelnorBase/CalibratorParameters.h"
#include "QuelnorBase/Event2D.h"
#include "QuelnorBase/EventTriggerIn.h"
#include "QuelnorBase/QnStatisticInfo.h"
#include "QuelnorDriver/camera/CameraToolSet.h"
#include "QuelnorDriver/camera/StreamType.h"
#include "QuelnorHal/EventStream/StreamLossInfo.h"
#include "QuelnorHal/camera/tools/CameraTool.h"
#include "QuelnorHal/camera/tools/ToolInfo.h"
#include "QuelnorHal/camera/tools/ToolType.h"
#include "QuelnorHal/interface/CameraDescription.h"

namespace quelnor {

class DvsCameraManager;
class FusionCameraTestPeer;

// One fusion camera: an event sensor (the DVS stream, IMX636, 1280 x 720) and a frame sensor (the APS
// stream, IMX415, 3840 x 2160) in one device, as DvsCameraManager::openFusionCamera hands it out.
// Through it an application receives decoded events (as pointer pairs, as shared blocks or in batches),
// the trigger input's sync signals, APS frames as BGR images timed by the trigger input, and statistics;
// starts and stops the streams, records both streams, reads the calibration and reaches the tools (the
// seven event-sensor tools and the frame-sensor tool "ApsCtrl" under APS_CTRL) and the configuration file.
//
// Expected order: open (which initialises; every open also forgets the callbacks registered before it),
// callbacks, start, optional recording, stop with the same or a wider type, release.
//
// Threads:
// - Event callbacks and sync-signal callbacks run on the camera's event-stream thread while the camera
//   holds the lock of that callback table; shared-event callbacks run on the same thread without a lock.
//   The event pointers are valid only during the call; a shared block may be kept.
// - Frame callbacks run on the camera's fusion thread while the camera holds the frame callback table's
//   lock. The frame's pixels are the camera's until every copy of the frame is dropped.
// - The statistics callback runs on the camera's statistics thread, once a second while the event
//   stream runs.
// - Inside a callback do not add or remove callbacks of the same kind on the same camera and do not
//   call getNextBatch on it (each would wait for the callback's own thread).
// - Everything else runs on the caller's thread. Drive one camera's life cycle (open, start, stop,
//   destroy, recording) from one thread at a time; callbacks and batches may be used from any thread.
// - Dropping the last pointer to a camera, also inside one of its callbacks, stops it first.
class FusionCamera {
public:
    using EventsCallback = std::function<void(Event2D* first, Event2D* last)>;
    using SharedEventsCallback = std::function<void(std::shared_ptr<std::vector<Event2D>> events)>;
    using ApsFrameCallback = std::function<void(ApsFrame frame)>;
    using SyncSignalCallback = std::function<void(EventTriggerIn trigger)>;
    using StatisticInfoCallback = std::function<void(QnStatisticInfo)>;

    explicit FusionCamera(CameraDescription description_) : description(std::move(description_)) {}
    // Copies share the tool objects.
    FusionCamera(const FusionCamera& other) = default;
    FusionCamera(FusionCamera&& other) noexcept = default;
    FusionCamera& operator=(const FusionCamera& other) = default;
    FusionCamera& operator=(FusionCamera&& other) noexcept = default;
    virtual ~FusionCamera();

    // False before the camera has been opened, and once the device is gone.
    virtual bool isConnected() const = 0;

    // Registers a callback for each decoded block of events [first, last) (event-stream thread). Ids
    // count from 0 per kind of callback and camera and are never given out again.
    virtual uint32_t addEventsStreamHandleCallback(EventsCallback callback) = 0;
    // The same blocks as shared vectors, called without any camera lock held.
    virtual uint32_t addSharedEventsStreamHandleCallback(SharedEventsCallback callback) = 0;
    // True when a callback with that id was removed.
    virtual bool removeEventsStreamHandleCallback(uint32_t id) = 0;
    virtual bool removeSharedEventsStreamHandleCallback(uint32_t id) = 0;
    // Registers a frame callback (fusion thread): each frame of a fused stream as width x height BGR
    // pixels, startTimestamp and endTimestamp its exposure in event time (both 0 when the exposure time
    // could not be read). Frames are converted to BGR only while a frame callback is registered.
    virtual uint32_t addApsFrameCallback(ApsFrameCallback callback) = 0;
    virtual bool removeApsFrameCallback(uint32_t id) = 0;
    // Registers a sync-signal callback (event-stream thread): the falling edges of the trigger input
    // (polarity 0) and, with polarity 1, one mark per frame at the first event time at or after its
    // exposure end. Rising edges are turned into frame timing and are not passed on.
    virtual uint32_t addSyncSignalCallback(SyncSignalCallback callback) = 0;
    virtual bool removeSyncSignalCallback(uint32_t id) = 0;

    // Batches: after setBatchEventsNum(n) every n events, after setBatchEventsTime(t) every t microseconds
    // of event time, are handed over as one batch (0 is taken as 1); only the newest batch handed over
    // is kept. getNextBatch clears out, then waits for the next batch handed over after the call began
    // and moves it into out: true. False at once, out empty, when no batch mode is set. A full stop
    // releases every waiter; one released without a new batch returns false with out empty.
    virtual bool getNextBatch(std::vector<Event2D>& out) = 0;
    virtual void setBatchEventsNum(uint64_t count) = 0;
    virtual void setBatchEventsTime(uint64_t microseconds) = 0;

    // 0 on success, -1 on failure (also before the camera is opened). start(DVS_STREAM) and
    // start(APS_STREAM) start that stream and leave the other as it is; start(FUSION_STREAM) starts both
    // and pairs frames with the trigger input. Starting what already runs changes nothing ("Camera
    // already started.", 0). stop(DVS_STREAM) and stop(APS_STREAM) stop that sensor only (the frame
    // sensor's stop also ends the recordings); stop(FUSION_STREAM) stops everything: the sensors, the
    // camera's threads and both recordings, and releases getNextBatch waiters. Events the device
    // delivered before the stop are still decoded, so callbacks may run until stop returns.
    virtual int start(STREAM_TYPE type) = 0;
    virtual int stop(STREAM_TYPE type) = 0;
    // Stops the camera and closes it: the next open builds it anew.
    virtual int destroy() = 0;

    // Records into dir: the events as name + ".raw", the frames (of a fused stream) as name + ".mp4" and,
    // once readCalibrationParam has succeeded, the calibration as name + ".json". 0 or -1 (nothing is left
    // recording after -1); refused while that recording runs. A raw file recorded beside a frame recording
    // begins at the first recorded frame. stopRecording returns once the files are complete: 0.
    virtual int startRecording(std::string dir, std::string name, STREAM_TYPE type) = 0;
    // DVS_STREAM ends the raw file, APS_STREAM the MP4 file, FUSION_STREAM both; other values nothing.
    virtual int stopRecording(STREAM_TYPE type) = 0;
    // False once the running (or the last) recording of that stream (FUSION_STREAM: either) met a failed
    // write or close, or had to stop because it fell behind; true otherwise. Any thread; atomic reads.
    virtual bool isRecordingHealthy(STREAM_TYPE type) const;
    // What the event stream lost since the last start (see StreamLossInfo). Any thread; atomic reads.
    virtual StreamLossInfo getStreamLossInfo() const;

    // DVS_STREAM: the event sensor's size; any other value: the frame size.
    virtual uint16_t getWidth(STREAM_TYPE type) = 0;
    virtual uint16_t getHeight(STREAM_TYPE type) = 0;

    // Called on the statistics thread with the bytes and events decoded in the last second. Does nothing
    // on a camera without statistics.
    virtual void setStatisticInfoCallback(StatisticInfoCallback callback);

    // Sends the calibration file to the camera; false when it cannot (also before the camera is opened).
    virtual bool writeCalibrationFile(std::string path) = 0;
    // Reads the camera's calibration into params; false, params unchanged, when it cannot be read or
    // lacks a member. Text that is not JSON makes the parser's exception reach the caller.
    virtual bool readCalibrationParam(CalibratorParameters& params) = 0;
    // The firmware version text of an opened camera; false when it cannot be read.
    virtual bool getFirmwareVersion(std::string& version) = 0;

    // What discovery found; fixed for the camera's life.
    CameraDescription getDescription() const;

    // The camera's tools (filled when it is opened) and its configuration file; see CameraToolSet.
    std::vector<ToolInfo> getAllToolsInfo() const;
    ToolInfo getToolInfo(ToolType type) const;
    std::shared_ptr<CameraTool> getTool(ToolType type) const;
    std::shared_ptr<CameraTool> getTool(std::string name) const;
    bool exportCameraConfigParams(std::string path);
    bool loadCameraConfigParams(std::string path);

protected:
    friend class DvsCameraManager;
    friend class FusionCameraTestPeer;

    // Opens the device and builds the camera: 0 on success, -1 on failure. Called by the manager on
    // every open; it forgets the registered callbacks each time and, after a success, does nothing more.
    virtual int init() = 0;

    CameraDescription description;
    CameraToolSet tools;
};

} // namespace quelnor
