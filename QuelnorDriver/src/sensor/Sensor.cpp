#include "QuelnorDriver/sensor/Sensor.h"

#include <exception>
#include <utility>

#include "QuelnorBase/Logger.h"

namespace quelnor {

Sensor::Sensor() = default;

Sensor::~Sensor() = default;

void Sensor::setApplyRegisterOperationSequenceCallback(ApplySequenceCallback callback) {
    applySequenceCallback = std::move(callback);
}

void Sensor::setWriteRegisterCallback(WriteRegisterCallback callback) { writeRegisterCallback = std::move(callback); }

void Sensor::setWriteRegisterFieldCallback(WriteRegisterFieldCallback callback) {
    writeRegisterFieldCallback = std::move(callback);
}

std::optional<RawBuffer> Sensor::getNextBuffer() {
    bool gapBefore = false;
    return getNextBuffer(gapBefore);
}

std::optional<RawBuffer> Sensor::getNextBuffer(bool& gapBefore) {
    gapBefore = false;
    if (!eventStream || eventStream->waitNextBuffer() < 1) {
        return std::nullopt;
    }
    return eventStream->getLatestBuffer(gapBefore);
}

bool Sensor::openEventStream(std::unique_ptr<DataTransfer> transfer) {
    if (!transfer) {
        eventStream.reset();
        return false;
    }
    eventStream = std::make_unique<EventStream>(std::move(transfer));
    return true;
}

bool Sensor::startEventStream(const char* sensorName) {
    if (!eventStream) {
        QN_ERROR("%s has no event stream to start!", sensorName);
        return false;
    }
    try {
        eventStream->start();
    } catch (const std::exception& e) {
        QN_ERROR("%s cannot start its event stream: %s", sensorName, e.what());
        return false;
    }
    return true;
}

void Sensor::stopEventStream() {
    if (eventStream) {
        eventStream->stop();
    }
}

} // namespace quelnor
