#include "QuelnorDriver/sensor/Imx6x6Sensor.h"

#include <chrono>
#include <thread>
#include <utility>

#include "QuelnorBase/Logger.h"
#include "QuelnorDriver/sensor/SensorSequences.h"
#include "sensor/MipiDataTransfer.h"
#include "sensor/SensorStreamParameters.h"

namespace quelnor {

namespace {

void pauseUs(uint32_t microseconds) { std::this_thread::sleep_for(std::chrono::microseconds(microseconds)); }

} // namespace

Imx6x6Sensor::Imx6x6Sensor() = default;

Imx6x6Sensor::~Imx6x6Sensor() = default;

int Imx6x6Sensor::init(std::shared_ptr<Interface> interface) {
    inited = false;
    registerWriteFailed = false;
    isV4l2 = false;
    if (!interface) {
        QN_ERROR("Imx6x6Sensor init failed! No interface provided!");
        return -1;
    }
    if (interface->getInterfaceType() == Interface::MIPI) {
        isV4l2 = true;
        if (!openEventStream(detail::createMipiDataTransfer(interface, detail::MipiStream::EVENTS,
                                                            detail::V4L2_RAW_EVENT_SIZE_BYTES))) {
            QN_ERROR("Imx6x6Sensor init failed! No data transfer for the interface!");
            return -1;
        }
        inited = true;
        QN_INFO("Imx6x6Sensor V4L2 init success!");
        return 0;
    }

    const bool hasStream = openEventStream(
        createDataTransferUniquePtr(interface, detail::EVENT_RAW_EVENT_SIZE_BYTES, detail::EVENT_BUFFER_SIZE,
                                    detail::EVENT_TRANSFERS_IN_FLIGHT, detail::EVENT_ENDPOINT));
    if (!applySequenceCallback) {
        QN_ERROR("Imx6x6Sensor init failed! No sequence callback provided!");
        return -1;
    }
    applySequence(IMX6X6_STOP_SEQUENCE);
    applySequence(IMX6X6_INIT_SEQUENCE_1);
    applySequence(IMX6X6_INIT_SEQUENCE_2);

    temperatureInit();
    controlIphMirror(true);
    pauseUs(detail::SETUP_STEP_PAUSE_US);
    controlLifo(true, true, true);
    timeBaseConfig(false, true);
    if (registerWriteFailed) {
        // The controller's error line names the register.
        QN_ERROR("Imx6x6Sensor init failed! A register write was not confirmed!");
        return -1;
    }

    if (!hasStream) {
        QN_ERROR("Imx6x6Sensor init failed! No data transfer for the interface!");
        return -1;
    }
    inited = true;
    QN_INFO("Imx6x6Sensor init success!");
    return 0;
}

int Imx6x6Sensor::start() {
    if (!inited) {
        QN_ERROR("Please initialize the Imx6x6Sensor first!");
        return -1;
    }
    if (!startEventStream("Imx6x6Sensor")) {
        return -1;
    }
    if (isV4l2) {
        return 0;
    }
    if (!applySequenceCallback) {
        QN_ERROR("Imx6x6Sensor init failed! No sequence callback provided!");
        return -1;
    }
    registerWriteFailed = false;
    if (!applySequence(IMX6X6_START_SEQUENCE)) {
        QN_ERROR("Imx6x6Sensor start failed! A register write was not confirmed!");
        stopEventStream();
        return -1;
    }
    return 0;
}

int Imx6x6Sensor::stop() {
    if (!isV4l2) {
        if (!applySequenceCallback) {
            QN_ERROR("Imx6x6Sensor init failed! No sequence callback provided!");
            return -1;
        }
        // Stopping goes on whatever the sensor answers.
        registerWriteFailed = false;
        applySequence(IMX6X6_STOP_SEQUENCE);
    }
    stopEventStream();
    return 0;
}

bool Imx6x6Sensor::hasWriteFieldCallback() const {
    if (!writeRegisterFieldCallback) {
        QN_ERROR("Imx6x6Sensor init failed! No write register callback provided!");
        return false;
    }
    return true;
}

void Imx6x6Sensor::temperatureInit() {
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

void Imx6x6Sensor::controlIphMirror(bool enable) {
    if (!hasWriteFieldCallback()) {
        return;
    }
    writeField("iph_mirr_ctrl", "iph_mirr_en", enable ? 1 : 0);
    pauseUs(detail::IPH_MIRROR_PAUSE_US);
    writeField("iph_mirr_ctrl", "iph_mirr_amp_en", enable ? 1 : 0);
    pauseUs(detail::IPH_MIRROR_PAUSE_US);
}

void Imx6x6Sensor::controlLifo(bool lifoEn, bool lifoOutEn, bool lifoCntEn) {
    if (!hasWriteFieldCallback()) {
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

void Imx6x6Sensor::timeBaseConfig(bool timeBaseMode, bool externalMode) {
    if (!hasWriteFieldCallback()) {
        return;
    }
    writeField("ro/time_base_ctrl", "time_base_mode", timeBaseMode ? 1 : 0);
    writeField("ro/time_base_ctrl", "external_mode", externalMode ? 1 : 0);
    writeField("ro/time_base_ctrl", "external_mode_enable", timeBaseMode ? 1 : 0);
    writeField("ro/time_base_ctrl", "Reserved_10_4", detail::IMX636_TIME_BASE_RESERVED_10_4);
    if (timeBaseMode) {
        writeField("dig_pad2_ctrl", "pad_sync",
                                   externalMode ? detail::PAD_SYNC_EXTERNAL : detail::PAD_SYNC_INTERNAL);
    }
}

} // namespace quelnor
