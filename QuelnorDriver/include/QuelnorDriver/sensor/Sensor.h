#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "QuelnorHal/EventStream/DataTransfer.h"
#include "QuelnorHal/EventStream/EventStream.h"
#include "QuelnorHal/EventStream/RawBuffer.h"
#include "QuelnorHal/interface/Interface.h"
#include "QuelnorHal/register/RegisterOperation.h"

namespace quelnor {

// Brings one image sensor of a camera into operation and owns the stream of raw buffers its data
// produce. The camera creates it, hands it callbacks into its register controller, then calls init
// with the camera's device interface, start and stop, and pulls filled buffers with getNextBuffer.
//
// Threads: init, start and stop run on the thread that drives the camera's life cycle (an application
// thread, or the camera-loop thread when a camera stops itself after losing the device); getNextBuffer
// runs on the camera-loop thread. The sensor holds no lock of its own: the camera never runs its life
// cycle and getNextBuffer at the same time, and the event stream locks its own queue. The callbacks
// run on the calling thread. Pauses block the calling thread.
class Sensor {
public:
    using WriteRegisterCallback = std::function<void(const std::string& registerName, uint32_t value)>;
    using WriteRegisterFieldCallback =
        std::function<void(const std::string& registerName, const std::string& fieldName, uint32_t value)>;
    using ApplySequenceCallback = std::function<void(const std::vector<RegisterOperation>&)>;
    // Variants that report whether every write was confirmed (RegisterController's try operations).
    using CheckedApplySequenceCallback = std::function<bool(const std::vector<RegisterOperation>&)>;
    using CheckedWriteRegisterFieldCallback =
        std::function<bool(const std::string& registerName, const std::string& fieldName, uint32_t value)>;

    Sensor();
    Sensor(const Sensor&) = delete;
    Sensor& operator=(const Sensor&) = delete;
    virtual ~Sensor();

    // 0 on success, -1 on failure.
    virtual int init(std::shared_ptr<Interface> interface) = 0;
    virtual int start() = 0;
    virtual int stop() = 0;

    // Each replaces the previous callback.
    void setApplyRegisterOperationSequenceCallback(ApplySequenceCallback callback);
    void setWriteRegisterCallback(WriteRegisterCallback callback);
    void setWriteRegisterFieldCallback(WriteRegisterFieldCallback callback);
    // Set instead of the plain ones (they replace them): a write the callback reports unconfirmed
    // makes init (or start) fail, and the sensor issues no further write in that call.
    void setCheckedApplyRegisterOperationSequenceCallback(CheckedApplySequenceCallback callback);
    void setCheckedWriteRegisterFieldCallback(CheckedWriteRegisterFieldCallback callback);

    // Waits up to 100 ms for the oldest queued buffer; empty when none came, the stream is stopped or
    // the sensor has no stream.
    std::optional<RawBuffer> getNextBuffer();
    // The same; gapBefore tells whether data was lost right before the buffer (see EventStream).
    std::optional<RawBuffer> getNextBuffer(bool& gapBefore);
    // The sensor's event stream (its limit and drop counts), or null without one. Any thread while
    // the sensor exists; the stream locks itself.
    EventStream* getEventStream() const { return eventStream.get(); }

protected:
    // Wraps the transfer in a new event stream. Without a transfer there is no stream and the result
    // is false; the caller's init then fails.
    bool openEventStream(std::unique_ptr<DataTransfer> transfer);
    // Starts the stream; false (logged with sensorName) when there is none or its transfer cannot start.
    bool startEventStream(const char* sensorName);
    void stopEventStream();
    // Through the checked callback when one is set, else the plain one (taken as confirmed). After a
    // failure in the same step (registerWriteFailed) nothing more is written and false comes back.
    bool applySequence(const std::vector<RegisterOperation>& sequence);
    bool writeField(const std::string& registerName, const std::string& fieldName, uint32_t value);

    std::unique_ptr<EventStream> eventStream;
    WriteRegisterCallback writeRegisterCallback;
    WriteRegisterFieldCallback writeRegisterFieldCallback;
    ApplySequenceCallback applySequenceCallback;
    CheckedApplySequenceCallback checkedSequenceCallback;
    CheckedWriteRegisterFieldCallback checkedWriteFieldCallback;
    // A write of the current init or start was not confirmed; cleared at the start of each.
    bool registerWriteFailed = false;
    bool inited = false;
};

} // namespace quelnor
