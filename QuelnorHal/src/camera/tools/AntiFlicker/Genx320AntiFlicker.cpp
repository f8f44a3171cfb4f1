#include "QuelnorHal/camera/tools/AntiFlicker/Genx320AntiFlicker.h"

#include <utility>

#include "QuelnorBase/Logger.h"
#include "camera/tools/AntiFlicker/AntiFlickerLimits.h"

namespace quelnor {

namespace {
constexpr uint32_t DT_FIFO_WAIT_TIME = 4;
constexpr uint32_t DT_FIFO_TIMEOUT = 771;
constexpr uint32_t IN_PARALLEL = 1;
constexpr int INIT_DONE_READS = 5;
// Worked out in float.
float dutyCode(float percent) { return 16.0f * (100.0f - percent) / 100.0f; }

constexpr AntiFlickerSensor GENX320_ANTI_FLICKER{"filter_mode", "Anti flicker of DVS cameras with GenX320 sensor.",
                                                 dutyCode};
} // namespace

Genx320AntiFlicker::Genx320AntiFlicker(std::shared_ptr<RegisterController> controller)
    : AntiFlickerTool(std::move(controller), GENX320_ANTI_FLICKER) {}

bool Genx320AntiFlicker::setEnableStatus(bool on) {
    const std::string pipeline = toolName + "pipeline_control";
    registerController->writeRegisterField(pipeline, "enable", 0);
    registerController->writeRegisterField(pipeline, "bypass", 1);
    if (!on) {
        return true;
    }
    const std::string invalidation = toolName + "invalidation";
    registerController->writeRegisterField(invalidation, "dt_fifo_wait_time", DT_FIFO_WAIT_TIME);
    registerController->writeRegisterField(invalidation, "dt_fifo_timeout", DT_FIFO_TIMEOUT);
    registerController->writeRegisterField(invalidation, "in_parallel", IN_PARALLEL);
    registerController->writeRegisterField("afk/filter_period", "min_cutoff_period", freqToPeriod(highFrequency));
    registerController->writeRegisterField("afk/filter_period", "max_cutoff_period", freqToPeriod(lowFrequency));
    registerController->writeRegisterField("afk/filter_period", "inverted_duty_cycle", invertedDutyCycle);
    const std::string param = toolName + "afk_param";
    registerController->writeRegisterField(param, "invert", filterMode == "Band cut" ? 0 : 1);
    registerController->writeRegisterField(param, "counter_high", static_cast<uint32_t>(startThreshold));
    registerController->writeRegisterField(param, "counter_low", static_cast<uint32_t>(stopThreshold));
    const std::string init = toolName + "initialisation";
    registerController->writeRegisterField(init, "req_init", 1);
    uint32_t initDone = 0;
    for (int i = 0; i < INIT_DONE_READS; ++i) {
        registerController->readRegisterField(init, "flag_init_done", initDone);
        if (initDone == 1) {
            break;
        }
    }
    if (initDone != 1) {
        QN_ERROR("afk init failed!");
        return false;
    }
    registerController->writeRegisterField(pipeline, "bypass", 0);
    registerController->writeRegisterField(pipeline, "enable", 1);
    return true;
}

} // namespace quelnor
