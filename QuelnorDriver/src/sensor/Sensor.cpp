#include "QuelnorDriver/sensor/Sensor.h"

#include <exception>
#include <utility>

#include "QuelnorBase/Logger.h"

namespace quelnor {

Sensor::Sensor() = default;

Sensor::~Sensor() = default;

void Sensor::setApplyRegisterOperationSequenceCallback(ApplySequenceCallback callback) {
    applySequenceCallback = std::move(callback);
    checkedSequenceCallback = nullptr;
}

void Sensor::setCheckedApplyRegisterOperationSequenceCallback(CheckedApplySequenceCallback callback) {
    checkedSequenceCallback = std::move(callback);
    applySequenceCallback = nullptr;
    if (checkedSequenceCallback) {
        applySequenceCallback = [this](const std::vector<RegisterOperation>& sequence) { applySequence(sequence); };
    }
}

void Sensor::setCheckedWriteRegisterFieldCallback(CheckedWriteRegisterFieldCallback callback) {
    checkedWriteFieldCallback = std::move(callback);
    writeRegisterFieldCallback = nullptr;
    if (checkedWriteFieldCallback) {
        writeRegisterFieldCallback = [this](const std::string& reg, const std::string& field, uint32_t value) {
            writeField(reg, field, value);
        };
    }
}

bool Sensor::applySequence(const std::vector<RegisterOperation>& sequence) {
    if (registerWriteFailed) {
        return false;
    }
    if (checkedSequenceCallback) {
        registerWriteFailed = !checkedSequenceCallback(sequence);
        return !registerWriteFailed;
    }
    if (applySequenceCallback) {
        applySequenceCallback(sequence);
    }
    return true;
}

bool Sensor::writeField(const std::string& registerName, const std::string& fieldName, uint32_t value) {
    if (registerWriteFailed) {
        return false;
    }
    if (checkedWriteFieldCallback) {
        registerWriteFailed = !checkedWriteFieldCallback(registerName, fieldName, value);
        return !registerWriteFailed;
    }
    if (writeRegisterFieldCallback) {
        writeRegisterFieldCallback(registerName, fieldName, value);
    }
    return true;
}

void Sensor::setWriteRegisterCallback(WriteRegisterCallback callback) { writeRegisterCallback = std::move(callback); }

void Sensor::setWriteRegisterFieldCallback(WriteRegisterFieldCallback callback) {
    writeRegisterFieldCallback = std::move(callback);
    checkedWriteFieldCallback = nullptr;
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
