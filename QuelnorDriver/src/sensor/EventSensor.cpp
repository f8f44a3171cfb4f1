#include "QuelnorDriver/sensor/EventSensor.h"

#include <chrono>
#include <thread>

#include "QuelnorBase/Logger.h"
#include "sensor/EventSensorDescription.h"
#include "sensor/MipiDataTransfer.h"
#include "sensor/SensorStreamParameters.h"

namespace quelnor {

namespace {

void pauseUs(uint32_t microseconds) { std::this_thread::sleep_for(std::chrono::microseconds(microseconds)); }

} // namespace

EventSensor::EventSensor(const detail::EventSensorDescription& description) : description(description) {}

EventSensor::~EventSensor() = default;

int EventSensor::init(std::shared_ptr<Interface> interface) {
    const char* name = description.name;
    inited = false;
    registerWriteFailed = false;
    isV4l2 = false;
    if (!interface) {
        QN_ERROR("%s init failed! No interface provided!", name);
        return -1;
    }
    if (description.mipiThroughV4l2 && interface->getInterfaceType() == Interface::MIPI) {
        isV4l2 = true;
        if (!openEventStream(detail::createMipiDataTransfer(interface, detail::MipiStream::EVENTS,
                                                            detail::V4L2_RAW_EVENT_SIZE_BYTES))) {
            QN_ERROR("%s init failed! No data transfer for the interface!", name);
            return -1;
        }
        inited = true;
        QN_INFO("%s V4L2 init success!", name);
        return 0;
    }

    const bool hasStream = openEventStream(
        createDataTransferUniquePtr(interface, detail::EVENT_RAW_EVENT_SIZE_BYTES, detail::EVENT_BUFFER_SIZE,
                                    detail::EVENT_TRANSFERS_IN_FLIGHT, detail::EVENT_ENDPOINT));
    if (!applySequenceCallback) {
        QN_ERROR("%s init failed! No sequence callback provided!", name);
        return -1;
    }
    applySequence(*description.stopSequence);
    for (const auto* sequence : description.initSequences) {
        if (sequence) {
            applySequence(*sequence);
        }
    }

    temperatureInit();
    controlIphMirror(true);
    pauseUs(detail::SETUP_STEP_PAUSE_US);
    controlLifo(true, true, true);
    timeBaseConfig(false, true);
    if (registerWriteFailed) {
        // The controller's error line names the register.
        QN_ERROR("%s init failed! A register write was not confirmed!", name);
        return -1;
    }

    if (!hasStream) {
        QN_ERROR("%s init failed! No data transfer for the interface!", name);
        return -1;
    }
    inited = true;
    QN_INFO("%s init success!", name);
    return 0;
}

int EventSensor::start() {
    const char* name = description.name;
    if (!inited) {
        QN_ERROR("Please initialize the %s first!", name);
        return -1;
    }
    if (!startEventStream(name)) {
        return -1;
    }
    if (isV4l2) {
        return 0;
    }
    if (!applySequenceCallback) {
        QN_ERROR("%s init failed! No sequence callback provided!", name);
        return -1;
    }
    if (description.startSequence) {
        registerWriteFailed = false;
        if (!applySequence(*description.startSequence)) {
            QN_ERROR("%s start failed! A register write was not confirmed!", name);
            stopEventStream();
            return -1;
        }
    }
    return 0;
}

int EventSensor::stop() {
    if (!isV4l2) {
        if (!applySequenceCallback) {
            QN_ERROR("%s init failed! No sequence callback provided!", description.name);
            return -1;
        }
        if (description.stopReplaysStopSequence) {
            // Stopping goes on whatever the sensor answers.
            registerWriteFailed = false;
            applySequence(*description.stopSequence);
        }
    }
    stopEventStream();
    return 0;
}

bool EventSensor::hasWriteFieldCallback() const {
    if (!writeRegisterFieldCallback) {
        QN_ERROR("%s init failed! No write register callback provided!", description.name);
        return false;
    }
    return true;
}

void EventSensor::temperatureInit() {
    if (!hasWriteFieldCallback()) {
        return;
    }
    writeField("adc_control", "adc_en", 1);
    writeField("adc_control", "adc_clk_en", 1);
    writeField("adc_misc_ctrl", "adc_buf_cal_en", 1);
    pauseUs(detail::TEMPERATURE_PAUSE_US);
    writeField("temp_ctrl", "temp_buf_en", 1);
    writeField("temp_ctrl", "temp_buf_cal_en", 1);
    pauseUs(detail::TEMPERATURE_PAUSE_US);
    writeField("adc_control", "adc_clk_en", 0);
}

void EventSensor::controlIphMirror(bool enable) {
    if (!hasWriteFieldCallback()) {
        return;
    }
    for (const char* field : description.mirrorFields) {
        if (field) {
            writeField("iph_mirr_ctrl", field, enable ? 1 : 0);
            pauseUs(detail::IPH_MIRROR_PAUSE_US);
        }
    }
}

void EventSensor::controlLifo(bool lifoEn, bool lifoOutEn, bool lifoCntEn) {
    if (!hasWriteFieldCallback()) {
        return;
    }
    if (!description.lifoOutputAndCounter) {
        writeField("lifo_ctrl", "lifo_en", lifoEn ? 1 : 0);
        return;
    }
    if (lifoEn && lifoOutEn) {
        writeField("lifo_ctrl", "lifo_en", 1);
        pauseUs(detail::SETUP_STEP_PAUSE_US);
        writeField("lifo_ctrl", "lifo_out_en", 1);
        pauseUs(detail::SETUP_STEP_PAUSE_US);
    } else if (lifoEn) {
        writeField("lifo_ctrl", "lifo_en", 1);
    } else if (lifoOutEn) {
        writeField("lifo_ctrl", "lifo_out_en", 1);
    } else {
        writeField("lifo_ctrl", "lifo_en", 0);
        writeField("lifo_ctrl", "lifo_out_en", 0);
    }
    writeField("lifo_ctrl", "lifo_cnt_en", lifoCntEn ? 1 : 0);
}

void EventSensor::timeBaseConfig(bool timeBaseMode, bool externalMode) {
    if (!hasWriteFieldCallback()) {
        return;
    }
    writeField("ro/time_base_ctrl", "time_base_mode", timeBaseMode ? 1 : 0);
    writeField("ro/time_base_ctrl", "external_mode", externalMode ? 1 : 0);
    writeField("ro/time_base_ctrl", "external_mode_enable", timeBaseMode ? 1 : 0);
    for (const detail::SensorFieldValue& fixed : description.timeBaseFields) {
        if (fixed.field) {
            writeField("ro/time_base_ctrl", fixed.field, fixed.value);
        }
    }
    if (timeBaseMode) {
        writeField("dig_pad2_ctrl", "pad_sync", externalMode ? detail::PAD_SYNC_EXTERNAL : detail::PAD_SYNC_INTERNAL);
    }
}

} // namespace quelnor
