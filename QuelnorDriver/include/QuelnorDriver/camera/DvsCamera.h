#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "QuelnorBase/Event2D.h"
#include "QuelnorBase/EventTriggerIn.h"
#include "QuelnorBase/QnStatisticInfo.h"
#include "QuelnorDriver/camera/CameraToolSet.h"
#include "QuelnorHal/EventStream/StreamLossInfo.h"
#include "QuelnorHal/camera/tools/CameraTool.h"
#include "QuelnorHal/camera/tools/ToolInfo.h"
#include "QuelnorHal/camera/tools/ToolType.h"
#include "QuelnorHal/interface/CameraDescription.h"

namespace quelnor {

class DvsCameraManager;

// One event camera (a camera with an event sensor only), as DvsCameraManager::openCamera hands it out.
// Through it an application receives decoded events and trigger events by callback or in batches,
// starts and stops the stream, records raw files, reads statistics, reaches the camera's tools and
// configuration file and, for Ethernet cameras, updates the firmware.
//
// Expected order: open (which initialises), optional callbacks and batch mode, start, optional
// recording, stop, release. Callbacks and batches also work while the camera runs.
//
// Threads (the camera's threading contract):
// - Event and trigger callbacks run on the camera's camera-loop thread, one call at a time; the
//   statistics callback runs on the camera's statistics thread, once a second while the camera runs.
//   The event pointers are valid only during the call.
// - No lock of the camera is held while a callback runs. A callback may call any operation of this
//   camera or of another one: add or remove callbacks of any kind (its own included), set the
//   statistics callback, start or stop a recording, stop(), drop the last pointer to the camera.
//   Two calls cannot do their work there and say so at once: getNextBatch on the camera-loop thread
//   returns false (only that thread hands batches over), and start() from a callback of a stopped
//   camera returns -1 (its thread cannot wait for itself).
// - Removal: once removeEventsStreamHandleCallback, removeTriggerInCallback or
//   setStatisticInfoCallback (replacing or clearing) has returned, the callback removed is not
//   started again. Called from an application thread, the call also waits until a call of that
//   callback in progress on a camera thread has returned, so what the callback uses may be freed
//   afterwards. Called from inside a callback of any camera it does not wait, because the call in
//   progress may be the caller's own or may be waiting for the caller: a callback that removes
//   itself finishes its current call normally, and one removed from the other camera thread may
//   still be finishing its current call.
// - stop() returns from every callback: on the camera-loop thread it does not wait for that
//   thread; it waits for the statistics thread to end its current callback unless it runs there.
// - Costs: callbacks run on the thread that decodes the stream, so while one runs nothing is
//   decoded; raw buffers wait in the event stream up to its byte limit (EventStream), beyond which
//   the oldest are dropped, counted in getStreamLossInfo and warned about at most once a second. Adding or removing copies that kind's table of callbacks; each call takes a short lock
//   twice per callback.
// - Everything else runs on the caller's thread. Drive one camera's life cycle (open, start, stop,
//   recording) from one thread at a time; callbacks and batches may be used from any thread.
// - Dropping the last pointer to a camera, also inside one of its callbacks, stops it first.
class DvsCamera {
public:
    using EventsCallback = std::function<void(Event2D* first, Event2D* last)>;
    using TriggerInCallback = std::function<void(EventTriggerIn)>;
    using StatisticInfoCallback = std::function<void(QnStatisticInfo)>;

    explicit DvsCamera(CameraDescription description);
    DvsCamera(const DvsCamera& other);
    DvsCamera(DvsCamera&& other) noexcept;
    DvsCamera& operator=(const DvsCamera& other);
    DvsCamera& operator=(DvsCamera&& other) noexcept;
    virtual ~DvsCamera();

    // False before the camera has been opened, and once the device is gone.
    virtual bool isConnected() const = 0;

    // Registers an event callback (camera-loop thread) called with each decoded block [first, last).
    // Ids count from 0 per camera and are never given out again.
    virtual uint32_t addEventsStreamHandleCallback(EventsCallback callback) = 0;
    // True when a callback with that id was removed.
    virtual bool removeEventsStreamHandleCallback(uint32_t id) = 0;
    // Registers a trigger-input callback (camera-loop thread); ids as for event callbacks.
    virtual uint32_t addTriggerInCallback(TriggerInCallback callback) = 0;
    virtual bool removeTriggerInCallback(uint32_t id) = 0;

    // Batches: after setBatchEventsNum(n) every n events, after setBatchEventsTime(t) every t microseconds
    // of event time, are handed over as one batch; only the newest batch handed over is kept.
    // getNextBatch clears out, then waits for the next batch handed over after the call began and moves
    // it into out: true. False at once, out empty, when no batch mode is set, while the camera is not
    // running (before start, after stop or a loss) and on the camera-loop thread (inside an event or
    // trigger callback, where the wait could never end). stop() releases every waiter, also one that
    // races it, with false and out empty.
    virtual bool getNextBatch(std::vector<Event2D>& out) = 0;
    virtual void setBatchEventsNum(uint64_t count) = 0;
    virtual void setBatchEventsTime(uint64_t microseconds) = 0;

    // 0 on success (also when already running), -1 on failure, also when the camera refuses a register
    // write of the sensor's start sequence (logged by register name; the camera stays stopped and can be
    // started again). start before a successful open throws
    // std::runtime_error "Camera is not inited". stop returns 0 when not running. stop lets the
    // camera loop finish the buffer it decodes (callbacks may run until then) and stops the sensor;
    // buffers still waiting are dropped and counted in getStreamLossInfo, so stop takes one buffer's
    // decode and the device's stop, never a backlog.
    virtual int start() = 0;
    virtual int stop() = 0;

    // Raw recording of every buffer the camera decodes, independent of start and stop. 0 or -1;
    // startRecording before a successful open throws std::runtime_error "Camera is not inited", and is
    // refused (-1) while a recording runs. stopRecording returns 0, or -1 when the recording met a
    // failed write or close: the error line names the file and the cause, the recording ended there and
    // the file holds what was written whole before it (in cache mode the copy into the file runs after
    // stopRecording; a failure of that copy shows in isRecordingHealthy only).
    virtual int startRecording(std::string path) = 0;
    // Recording cache: the last `seconds` of data kept in segment files under `directory`. Refused
    // while a recording runs. Does nothing on a camera without a recorder.
    virtual void setFileCacheTime(uint16_t seconds, std::string directory);
    virtual int stopRecording() = 0;
    // False once the running (or the last) recording met a failed write or close; true otherwise.
    // Any thread; one atomic read.
    virtual bool isRecordingHealthy() const;

    // What the event stream lost since the last start (lost packets, refused datagrams, buffers
    // dropped for a slow consumer). Any thread; a few atomic reads.
    virtual StreamLossInfo getStreamLossInfo() const;

    // Event sensor size in pixels: 1280 x 720 until opened, 320 x 320 for a GenX320 camera after that.
    virtual uint16_t getWidth() = 0;
    virtual uint16_t getHeight() = 0;

    // Replaces (or, with an empty function, clears) the statistics callback, at any time, also from
    // inside a callback; called on the statistics thread. Removal as above. Does nothing on a camera
    // without statistics.
    virtual void setStatisticInfoCallback(StatisticInfoCallback callback);

    // Ethernet cameras only; false for every other camera.
    virtual bool updateCameraFirmware(std::string path, uint32_t startAddress);
    // Sets version and returns true when the camera reports one; otherwise version is "N/A" and false.
    virtual bool getFirmwareVersion(std::string& version);

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
    CameraDescription description;
    CameraToolSet tools;

private:
    friend class DvsCameraManager;

    // Opens the device and builds the camera: 0 on success, -1 on failure. Called by the manager on
    // every open; after a success it does nothing.
    virtual int init() = 0;
};

} // namespace quelnor
