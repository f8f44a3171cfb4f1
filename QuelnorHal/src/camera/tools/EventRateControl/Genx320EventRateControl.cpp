#include "QuelnorHal/camera/tools/EventRateControl/Genx320EventRateControl.h"

#include <utility>

#include "QuelnorBase/Logger.h"
#include "camera/tools/EventRateControl/EventRateArithmetic.h"

namespace quelnor {

namespace {
constexpr uint32_t DELAY_FIFO_SIZE = 5128;
constexpr uint32_t DELAY_FIFO_NON_TD_RESERVED = 257;
constexpr uint32_t INITIAL_TARGET_COUNT = 128;
// The most the target-count field is given.
constexpr uint64_t MAX_TARGET_COUNT = 1636800;

constexpr EventRateControlSensor GENX320_ERC{"ERC of DVS cameras with GenX320 sensor"};
} // namespace

Genx320EventRateControl::Genx320EventRateControl(std::shared_ptr<RegisterController> controller)
    : EventRateControlTool(std::move(controller), GENX320_ERC) {}

void Genx320EventRateControl::initialize() {
    QN_INFO("Genx320 ERC Init");
    auto& rc = *registerController;
    const std::string pipeline = toolName + "pipeline_control";
    const std::string dropping = toolName + "ahvt_dropping_control";
    rc.writeRegisterField(toolName + "ref_period_flavor", "reference_period", ERC_REFERENCE_PERIOD);
    rc.writeRegisterField(toolName + "ref_period_flavor", "avg_drop_rate_delayed", 0);
    rc.writeRegisterField(toolName + "delay_fifo_size", "val", DELAY_FIFO_SIZE);
    rc.writeRegisterField(toolName + "delay_fifo_non_td_rsvd_area", "val", DELAY_FIFO_NON_TD_RESERVED);
    rc.writeRegisterField(toolName + "delay_fifo_non_td_rsvd_area", "auto_raise", 0);
    rc.writeRegisterField(pipeline, "enable", 0);
    rc.writeRegisterField(pipeline, "drop_nbackpressure", 0);
    rc.writeRegisterField(pipeline, "bypass", 1);
    rc.writeRegisterField(dropping, "h_dropping_en", 0);
    rc.writeRegisterField(dropping, "v_dropping_en", 0);
    rc.writeRegisterField(dropping, "t_dropping_en", 0);
    rc.writeRegisterField(dropping, "t_dropping_lut_en", 0);
    rc.writeRegisterField(toolName + "td_target_event_count", "val", INITIAL_TARGET_COUNT);
    rc.writeRegisterField(pipeline, "enable", 1);
    rc.writeRegisterField(pipeline, "bypass", 1);
    initialized = true;
}

uint32_t Genx320EventRateControl::getCountPeriod() const {
    uint32_t period = 0;
    registerController->readRegisterField(toolName + "ref_period_flavor", "reference_period", period);
    return period;
}

bool Genx320EventRateControl::setEnable(bool enable) {
    initializeOnce();
    enabled = enable;
    auto& rc = *registerController;
    const std::string pipeline = toolName + "pipeline_control";
    if (enable) {
        applyRateAtEnable();
        rc.writeRegisterField(pipeline, "drop_nbackpressure", 0);
        rc.writeRegisterField(pipeline, "bypass", 0);
        rc.writeRegisterField(pipeline, "enable", 1);
        rc.writeRegisterField(toolName + "ahvt_dropping_control", "t_dropping_en", 1);
    } else {
        rc.writeRegisterField(pipeline, "drop_nbackpressure", 0);
        rc.writeRegisterField(pipeline, "bypass", 1);
        rc.writeRegisterField(pipeline, "enable", 1);
        rc.writeRegisterField(toolName + "ahvt_dropping_control", "t_dropping_en", 0);
    }
    return true;
}

bool Genx320EventRateControl::getEnable(bool& out) {
    uint32_t on = 0;
    uint32_t bypass = 0;
    registerController->readRegisterField(toolName + "pipeline_control", "enable", on);
    registerController->readRegisterField(toolName + "pipeline_control", "bypass", bypass);
    out = on != 0 && bypass == 0 && enabled;
    return true;
}

bool Genx320EventRateControl::writeRate(int rate) {
    uint64_t count = ercTargetFor(rate, getCountPeriod());
    if (count > MAX_TARGET_COUNT) {
        count = MAX_TARGET_COUNT;
    }
    registerController->writeRegisterField(toolName + "td_target_event_count", "val", static_cast<uint32_t>(count));
    currentRate = rate;
    return true;
}

uint32_t Genx320EventRateControl::readTarget() {
    uint32_t count = 0;
    registerController->readRegisterField(toolName + "td_target_event_count", "val", count);
    return count;
}

} // namespace quelnor
