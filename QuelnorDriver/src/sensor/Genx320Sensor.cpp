#include "QuelnorDriver/sensor/Genx320Sensor.h"

#include <chrono>
#include <thread>
#include <utility>

#include "QuelnorBase/Logger.h"
#include "QuelnorDriver/sensor/SensorSequences.h"
#include "sensor/SensorStreamParameters.h"

namespace quelnor {

namespace {

void pauseUs(uint32_t microseconds) { std::this_thread::sleep_for(std::chrono::microseconds(microseconds)); }

} // namespace

Genx320Sensor::Genx320Sensor() = default;

Genx320Sensor::~Genx320Sensor() = default;

int Genx320Sensor::init(std::shared_ptr<Interface> interface) {
    inited = false;
    registerWriteFailed = false;
    if (!interface) {
        QN_ERROR("Genx320Sensor init failed! No interface provided!");
        return -1;
    }
    const bool hasStream = openEventStream(
        createDataTransferUniquePtr(interface, detail::EVENT_RAW_EVENT_SIZE_BYTES, detail::EVENT_BUFFER_SIZE,
                                    detail::EVENT_TRANSFERS_IN_FLIGHT, detail::EVENT_ENDPOINT));
    if (!applySequenceCallback) {
        QN_ERROR("Genx320Sensor init failed! No sequence callback provided!");
        return -1;
    }
    applySequence(GENX320_STOP_SEQUENCE);
    applySequence(GENX320_INIT_SEQUENCE);

    temperatureInit();
    controlIphMirror(true);
    pauseUs(detail::SETUP_STEP_PAUSE_US);
    controlLifo(true, true, true);
    timeBaseConfig(false, true);
    if (registerWriteFailed) {
        // The controller's error line names the register.
        QN_ERROR("Genx320Sensor init failed! A register write was not confirmed!");
        return -1;
    }

    if (!hasStream) {
        QN_ERROR("Genx320Sensor init failed! No data transfer for the interface!");
        return -1;
    }
    inited = true;
    QN_INFO("Genx320Sensor init success!");
    return 0;
}

int Genx320Sensor::start() {
    if (!inited) {
        QN_ERROR("Please initialize the Genx320Sensor first!");
        return -1;
    }
    if (!startEventStream("Genx320Sensor")) {
        return -1;
    }
    if (!applySequenceCallback) {
        QN_ERROR("Genx320Sensor init failed! No sequence callback provided!");
        return -1;
    }
    return 0;
}

int Genx320Sensor::stop() {
    if (!applySequenceCallback) {
        QN_ERROR("Genx320Sensor init failed! No sequence callback provided!");
        return -1;
    }
    stopEventStream();
    return 0;
}

bool Genx320Sensor::hasWriteFieldCallback() const {
    if (!writeRegisterFieldCallback) {
        QN_ERROR("Genx320Sensor init failed! No write register callback provided!");
        return false;
    }
    return true;
}

void Genx320Sensor::temperatureInit() {
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

void Genx320Sensor::controlIphMirror(bool enable) {
    if (!hasWriteFieldCallback()) {
        return;
    }
    writeField("iph_mirr_ctrl", "iph_mirr_en", enable ? 1 : 0);
    pauseUs(detail::IPH_MIRROR_PAUSE_US);
}

void Genx320Sensor::controlLifo(bool lifoEn, bool /*lifoOutEn*/, bool /*lifoCntEn*/) {
    if (!hasWriteFieldCallback()) {
        return;
    }
    writeField("lifo_ctrl", "lifo_en", lifoEn ? 1 : 0);
}

void Genx320Sensor::timeBaseConfig(bool timeBaseMode, bool externalMode) {
    if (!hasWriteFieldCallback()) {
        return;
    }
    writeField("ro/time_base_ctrl", "time_base_mode", timeBaseMode ? 1 : 0);
    writeField("ro/time_base_ctrl", "external_mode", externalMode ? 1 : 0);
    writeField("ro/time_base_ctrl", "external_mode_enable", timeBaseMode ? 1 : 0);
    writeField("ro/time_base_ctrl", "us_counter_max", detail::GENX320_US_COUNTER_MAX);
    writeField("ro/time_base_ctrl", "th_every_64us_en", 1);
    if (timeBaseMode) {
        writeField("dig_pad2_ctrl", "pad_sync",
                                   externalMode ? detail::PAD_SYNC_EXTERNAL : detail::PAD_SYNC_INTERNAL);
    }
}

} // namespace quelnor
