#include "QuelnorHal/camera/tools/AntiFlicker/Imx636AntiFlicker.h"

#include <utility>

#include "QuelnorBase/Logger.h"
#include "camera/tools/AntiFlicker/AntiFlickerLimits.h"

namespace quelnor {

namespace {
constexpr uint32_t DT_FIFO_WAIT_TIME = 1630;
// Worked out in double.
float dutyCode(float percent) { return static_cast<float>(16.0 * (100.0 - static_cast<double>(percent)) / 100.0); }

constexpr AntiFlickerSensor IMX636_ANTI_FLICKER{"fliter_mode", "Anti flicker of DVS cameras with IMX636 sensor.",
                                                dutyCode};
} // namespace

Imx636AntiFlicker::Imx636AntiFlicker(std::shared_ptr<RegisterController> controller)
    : AntiFlickerTool(std::move(controller), IMX636_ANTI_FLICKER) {}

bool Imx636AntiFlicker::setEnableStatus(bool on) {
    registerController->writeRegister(toolName + "pipeline_control", AFK_PIPELINE_BYPASS);
    if (!on) {
        return true;
    }
    uint32_t initDone = 0;
    registerController->readRegisterField(toolName + "initialization", "afk_flag_init_done", initDone);
    if (initDone == 1) {
        QN_INFO("afk init success!");
    } else {
        QN_ERROR("afk init failed!");
    }
    registerController->writeRegisterField(toolName + "invalidation", "dt_fifo_wait_time", DT_FIFO_WAIT_TIME);
    registerController->writeRegisterField("afk/filter_period", "min_cutoff_period", freqToPeriod(highFrequency));
    registerController->writeRegisterField("afk/filter_period", "max_cutoff_period", freqToPeriod(lowFrequency));
    registerController->writeRegisterField("afk/filter_period", "inverted_duty_cycle", invertedDutyCycle);
    registerController->writeRegisterField(toolName + "param", "invert", filterMode == "Band cut" ? 0 : 1);
    registerController->writeRegisterField(toolName + "param", "counter_high", static_cast<uint32_t>(startThreshold));
    registerController->writeRegisterField(toolName + "param", "counter_low", static_cast<uint32_t>(stopThreshold));
    registerController->writeRegister(toolName + "pipeline_control", AFK_PIPELINE_RUN);
    return true;
}

} // namespace quelnor
