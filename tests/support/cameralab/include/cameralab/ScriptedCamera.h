#pragma once

// An event camera whose sensor streams scripted raw buffers instead of reading a device, for tests of
// what the camera itself does with them (batches, callbacks, its threads, recording, stops and
// losses). Everything from the event stream on is the product's own: the EventStream, the EVT3
// decoder, DvsCameraPrivate with its loops and recorder. The device is a DeviceDouble whose
// connection the test switches to show a loss.

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "QuelnorDriver/camera/DvsCameraPrivate.h"
#include "QuelnorHal/EventStream/EVT3Decoder.h"
#include "cameralab/EventBatcherTestPeer.h"
#include "device/DeviceDouble.h"
#include "transfer/ScriptedDataTransfer.h"

namespace quelnor::test {

// Counts of sensor calls across all scripted sensors of the process.
struct ScriptedSensorCounts {
    std::atomic<int> stops{0};
    std::atomic<int> destroyed{0};
};

class ScriptedSensor : public Sensor {
public:
    explicit ScriptedSensor(std::shared_ptr<ScriptedSensorCounts> counts_) : counts(std::move(counts_)) {}
    ~ScriptedSensor() override { ++counts->destroyed; }

    int init(std::shared_ptr<Interface>) override {
        auto owned = std::make_unique<ScriptedDataTransfer>(BUFFER_SIZE);
        transfer = owned.get();
        openEventStream(std::move(owned));
        inited = true;
        return 0;
    }
    int start() override { return startEventStream("ScriptedSensor") ? 0 : -1; }
    int stop() override {
        ++counts->stops;
        stopEventStream();
        return 0;
    }

    static constexpr uint32_t BUFFER_SIZE = 131072;
    ScriptedDataTransfer* transfer = nullptr;

private:
    std::shared_ptr<ScriptedSensorCounts> counts;
};

class ScriptedCamera : public DvsCameraPrivate {
public:
    static constexpr uint16_t WIDTH = 1280;
    static constexpr uint16_t HEIGHT = 720;

    static CameraDescription describe(const std::string& serial) {
        CameraDescription d;
        d.serialNumber = serial;
        d.productName = "Scripted";
        d.manufacturer = "Quelnor";
        return d;
    }

    explicit ScriptedCamera(const std::string& serial = "SCRIPTED0001") : DvsCameraPrivate(describe(serial)) {}
    ~ScriptedCamera() override = default;

    int open() { return init(); }

    bool isConnected() const override { return deviceConnected(); }
    uint16_t getWidth() override { return WIDTH; }
    uint16_t getHeight() override { return HEIGHT; }

    ScriptedDataTransfer& transfer() { return *scriptedSensor->transfer; }
    EventStream& stream() { return *scriptedSensor->getEventStream(); }
    DeviceDouble& device() { return *double_; }
    const std::shared_ptr<ScriptedSensorCounts>& sensorCounts() const { return counts; }

    // Hands a decoded block to the camera as its decoder does (call only while the loop decodes
    // nothing, e.g. with an idle script).
    void feed(std::vector<Event2D> events) { eventStreamArrived(events.data(), events.data() + events.size()); }
    // Wakes the batch waiters without handing a batch over, as a spurious wake-up does.
    void wakeBatchWaiters() { EventBatcherTestPeer::wakeWaiters(batcher); }
    std::vector<Event2D> countReady() { return EventBatcherTestPeer::countReady(batcher); }
    std::vector<Event2D> timeReady() { return EventBatcherTestPeer::timeReady(batcher); }
    // Only while the loop decodes nothing.
    const std::vector<Event2D>& countPending() const { return EventBatcherTestPeer::countPending(batcher); }
    const std::vector<Event2D>& timePending() const { return EventBatcherTestPeer::timePending(batcher); }

private:
    int init() override {
        if (inited.load()) {
            return 0;
        }
        double_ = std::make_shared<DeviceDouble>();
        interface = double_;
        decoder = std::make_unique<EVT3Decoder>(WIDTH, HEIGHT);
        decoder->setEventsStreamHandleCallback([this](Event2D* first, Event2D* last) { eventStreamArrived(first, last); });
        decoder->setTriggerInCallback([this](EventTriggerIn trigger) { triggerInArrived(trigger); });
        auto owned = std::make_unique<ScriptedSensor>(counts);
        scriptedSensor = owned.get();
        sensor = std::move(owned);
        sensor->init(interface);
        inited.store(true);
        return 0;
    }
    RawEventStreamFormat getRawEventStreamFormat() override {
        return RawEventStreamFormat("EVT3;height=720;width=1280");
    }

    std::shared_ptr<ScriptedSensorCounts> counts = std::make_shared<ScriptedSensorCounts>();
    std::shared_ptr<DeviceDouble> double_;
    ScriptedSensor* scriptedSensor = nullptr;
};

} // namespace quelnor::test
